#include "net/quenloapi.h"

#include "model/text.h"
#include "net/cookielist.h"
#include "net/curlglobal.h"
#include "net/httpcall.h"

#include <QJsonDocument>
#include <QStringDecoder>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace quenlo {

namespace {

constexpr char sessionCookieName[] = "quenlo_session";
const QString loginPath = QStringLiteral("/api/session");

QuenloResult failure(const QString &message, int code = 1)
{
    return { std::nullopt, QuenloResult::Domain::Quenlo, code, message };
}

struct CurlDeleter {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, ListDeleter>;

void append(CurlList &list, const QByteArray &line)
{
    list.reset(curl_slist_append(list.release(), line.constData()));
}

bool isHexDigit(char16_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/// RFC 3986: a path, an optional query and an optional fragment, escapes well-formed, ASCII only.
/// The leading "/" also keeps the origin's host: "@evil.example" would otherwise become one.
bool isUrlPath(const QString &path)
{
    if (!path.startsWith(u'/'))
        return false;
    bool inFragment = false;
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t c = path.at(i).unicode();
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            continue;
        if (c < 0x80 && c != 0 && std::strchr("-._~!$&'()*+,;=:@/?", char(c)))
            continue;
        if (c == '%' && i + 2 < path.size() && isHexDigit(path.at(i + 1).unicode())
            && isHexDigit(path.at(i + 2).unicode())) {
            i += 2;
            continue;
        }
        if (c == '#' && !inFragment) {
            inFragment = true;
            continue;
        }
        return false;
    }
    return true;
}

/// A stored session is used only as UTF-8 text that cannot break the header it is sent in.
bool isUsableSession(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if (uchar(c) < 0x20 || uchar(c) == 0x7f)
            return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    [[maybe_unused]] const QString text = utf8.decode(bytes);
    return !utf8.hasError();
}

std::optional<QByteArray> sessionCookie(CURL *handle)
{
    curl_slist *list = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_COOKIELIST, &list) != CURLE_OK)
        return std::nullopt;
    const CurlList owned(list);
    QList<QByteArray> lines;
    for (curl_slist *line = list; line; line = line->next)
        lines.append(QByteArray(line->data));
    for (const NetscapeCookie &cookie : parseCookieList(lines)) {
        if (cookie.name == sessionCookieName)
            return cookie.name + '=' + cookie.value;
    }
    return std::nullopt;
}

} // namespace

QString quenloOrigin()
{
    return QStringLiteral(QUENLO_ORIGIN);
}

QuenloAPI::QuenloAPI(bool persist, NasTimes times)
    : m_origin(quenloOrigin())
    , m_times(times)
    , m_persist(persist)
{
    if (m_persist) {
        m_ownedStore = makeSystemSecretStore();
        m_store = m_ownedStore.get();
    }
    loadSession();
}

QuenloAPI::QuenloAPI(const QString &origin, const QString &caFile, SecretStore *store, bool persist, NasTimes times)
    : m_origin(origin)
    , m_caFile(caFile.toLocal8Bit())
    , m_times(times)
    , m_store(store)
    , m_persist(persist && store)
{
    Q_ASSERT(store || !persist);
    loadSession();
}

QuenloAPI::~QuenloAPI() = default;

void QuenloAPI::loadSession()
{
    if (!m_persist)
        return;
    const SecretStore::Read stored = m_store->read();
    if (stored.status == SecretStore::Status::Ok && isUsableSession(stored.bytes))
        m_cookie = stored.bytes;
}

QuenloResult QuenloAPI::call(const QString &path, const std::optional<QJsonObject> &body)
{
    if (!isUrlPath(path))
        return failure(QStringLiteral("请求地址无效"));
    ensureCurlReady();
    const std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl)
        return { std::nullopt, QuenloResult::Domain::Curl, CURLE_FAILED_INIT,
            QString::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT)) };
    CURL *h = curl.get();

    const QByteArray url = (m_origin + path).toUtf8();
    CurlList headers;
    append(headers, "X-Quenlo: 1");
    if (!m_cookie.isEmpty())
        append(headers, "Cookie: " + m_cookie);
    QByteArray payload;
    if (body) {
        // QJsonDocument writes any QJsonObject (NaN and infinity become null), so unlike a
        // general encoder this step cannot fail.
        payload = QJsonDocument(*body).toJson(QJsonDocument::Compact);
        append(headers, "Content-Type: application/json");
        // libcurl would otherwise send "Expect: 100-continue" for larger bodies and wait.
        append(headers, "Expect:");
    }

    BoundedReply received;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(h, CURLOPT_URL, url.constData());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, keepBoundedBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, countBoundedHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &received);
    if (!m_caFile.isEmpty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, m_caFile.constData());
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
    // The cookie engine, fed from nothing and never written out, parses the reply's
    // Set-Cookie headers with RFC 6265's domain and path rules for this URL.
    curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");
    // The request time-out: no connection, or no byte in either direction, for the idle limit.
    const long idleSeconds = std::max(1L, long(std::chrono::ceil<std::chrono::seconds>(m_times.idle).count()));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(m_times.idle.count()));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, idleSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(m_times.deadline.count()));
    // A name lookup still running at the deadline would otherwise hold up curl_easy_cleanup
    // until the resolver thread returns, past the 25 s promised to the work queue.
    curl_easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);
    if (body) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, payload.constData());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(payload.size()));
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }

    const auto started = std::chrono::steady_clock::now();
    const CURLcode result = curl_easy_perform(h);
    const auto elapsed = std::chrono::steady_clock::now() - started;

    // libcurl reports its overall time-out and the idle abort with the same code; only the
    // first one is "no answer in time", and it outranks whatever else went wrong. libcurl
    // keeps its own millisecond clock and may stop a hair before ours reads 25 s; the idle
    // abort comes at 20 s at the earliest, so a second's margin cannot mix the two up.
    if (result != CURLE_OK && elapsed >= m_times.deadline - std::min<Milliseconds>(Milliseconds(1000), m_times.deadline / 25))
        return failure(QStringLiteral("连接超时，请稍后重试"));
    // libcurl's text for the aborted write would only say that a callback refused the data.
    if (received.tooLarge)
        return failure(QStringLiteral("NAS 回复过大"));
    if (result != CURLE_OK) {
        const QString text
            = errorText[0] ? QString::fromUtf8(errorText).trimmed() : QString::fromUtf8(curl_easy_strerror(result));
        return { std::nullopt, QuenloResult::Domain::Curl, int(result), text };
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    QuenloResult reply = readNasReply(status, received.body);
    if (reply.ok() && body && path == loginPath) {
        const std::optional<QByteArray> cookie = sessionCookie(h);
        if (!cookie)
            return failure(QStringLiteral("登录回执不完整"));
        return keepSession(*cookie, std::move(*reply.reply));
    }
    return reply;
}

QuenloResult readNasReply(long status, const QByteArray &body)
{
    if (status <= 0)
        return failure(QStringLiteral("NAS 暂不可达"));
    QJsonObject reply = jsonObject(body).value_or(QJsonObject {});
    if (status == 401)
        return failure(QStringLiteral("请先设置Quenlo登录码"), 401);
    if (status >= 200 && status <= 299)
        return { std::move(reply), QuenloResult::Domain::None, 0, {} };
    // Shown unchanged, unless it is blank: an empty line would tell the user nothing.
    const QJsonValue error = reply.value(QStringLiteral("error"));
    return failure(error.isString() && !isBlankText(error.toString()) ? error.toString() : QStringLiteral("操作未成功"));
}

QuenloResult QuenloAPI::keepSession(const QByteArray &cookie, QJsonObject reply)
{
    // In memory first: a store that refuses only costs the session's survival of a restart.
    m_cookie = cookie;
    if (m_persist) {
        switch (m_store->update(m_cookie)) {
        case SecretStore::Status::Ok:
            break;
        case SecretStore::Status::NotFound:
            if (m_store->add(m_cookie) != SecretStore::Status::Ok)
                return failure(QStringLiteral("无法保存登录状态到钥匙串"));
            break;
        case SecretStore::Status::Failed:
            return failure(QStringLiteral("无法更新钥匙串登录状态"));
        }
    }
    return { std::move(reply), QuenloResult::Domain::None, 0, {} };
}

} // namespace quenlo
