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

using Clock = std::chrono::steady_clock;

/// \brief One transfer's reply and the time its last byte moved, for the idle limit.
///
/// libcurl's low-speed check averages over whole seconds, so a reply that trickles slower
/// than a byte a second would read as stalled; here only silence counts.
struct Transfer {
    CURL *handle = nullptr;
    Milliseconds idle;
    BoundedReply reply;
    Clock::time_point lastByte = Clock::now();
    curl_off_t down = 0;
    curl_off_t up = 0;
    bool connected = false; ///< until then CURLOPT_CONNECTTIMEOUT_MS bounds the call
    bool idleExpired = false;

    /// How long to wait for the sockets before the idle limit must be looked at again.
    int pollMs() const
    {
        // libcurl's own connect timer cuts this wait short; the 50 ms only notice the
        // connection soon after it is up, when the idle limit starts to count.
        if (!connected)
            return 50;
        const auto left = std::chrono::ceil<Milliseconds>(lastByte + idle - Clock::now()).count();
        return int(std::clamp<qint64>(left, 1, 1000));
    }
};

/// The progress callback: libcurl's counters changing means a byte moved.
int watchProgress(void *data, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up)
{
    Transfer &t = *static_cast<Transfer *>(data);
    const Clock::time_point now = Clock::now();
    if (!t.connected) {
        // The request leaves as soon as the connection, TLS included, is up.
        curl_off_t pretransfer = 0;
        if (curl_easy_getinfo(t.handle, CURLINFO_PRETRANSFER_TIME_T, &pretransfer) != CURLE_OK || pretransfer <= 0)
            return 0;
        t.connected = true;
        t.lastByte = now;
    }
    if (down != t.down || up != t.up) {
        t.down = down;
        t.up = up;
        t.lastByte = now;
    }
    if (now - t.lastByte < t.idle)
        return 0;
    t.idleExpired = true;
    return 1;
}

/// Header lines are bytes too, though the progress counters count only the body.
size_t watchHeader(char *data, size_t size, size_t count, void *transfer)
{
    Transfer &t = *static_cast<Transfer *>(transfer);
    t.lastByte = Clock::now();
    return countBoundedHeader(data, size, count, &t.reply);
}

/// Runs the transfer on a multi handle of its own: curl_easy_perform calls the progress
/// callback only about once a second while nothing arrives, too seldom for an idle limit
/// of a few hundred milliseconds in tests.
CURLcode perform(Transfer &t)
{
    struct Multi {
        CURLM *multi = curl_multi_init();
        CURL *easy = nullptr;
        ~Multi()
        {
            if (easy)
                curl_multi_remove_handle(multi, easy);
            curl_multi_cleanup(multi);
        }
    } run;
    if (!run.multi || curl_multi_add_handle(run.multi, t.handle) != CURLM_OK)
        return CURLE_FAILED_INIT;
    run.easy = t.handle;
    int running = 1;
    while (running) {
        CURLMcode status = curl_multi_perform(run.multi, &running);
        if (status == CURLM_OK && running)
            status = curl_multi_poll(run.multi, nullptr, 0, t.pollMs(), nullptr);
        if (status != CURLM_OK)
            return status == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
    }
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(run.multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == t.handle)
            return message->data.result;
    }
    return CURLE_FAILED_INIT;
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

    Transfer transfer;
    transfer.handle = h;
    transfer.idle = m_times.idle;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(h, CURLOPT_URL, url.constData());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, keepBoundedBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer.reply);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, watchHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, watchProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    if (!m_caFile.isEmpty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, m_caFile.constData());
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
    // The cookie engine, fed from nothing and never written out, parses the reply's
    // Set-Cookie headers with RFC 6265's domain and path rules for this URL.
    curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");
    // The idle limit: the connection within it, then no byte in either direction for as long
    // (watchProgress). The deadline bounds the whole call.
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(m_times.idle.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(m_times.deadline.count()));
    // A name lookup still running at the deadline would otherwise hold up the handle's cleanup
    // until the resolver thread returns, past the deadline promised to the work queue.
    curl_easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);
    if (body) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, payload.constData());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(payload.size()));
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }

    const Clock::time_point started = Clock::now();
    const CURLcode result = perform(transfer);
    const Clock::duration elapsed = Clock::now() - started;

    // The deadline outranks whatever else went wrong at it: any failure that late is "no answer
    // in time". libcurl keeps its own millisecond clock and may stop a hair before ours reads
    // the deadline, hence the small margin.
    if (result != CURLE_OK && elapsed >= m_times.deadline - std::min<Milliseconds>(Milliseconds(1000), m_times.deadline / 25))
        return failure(QStringLiteral("连接超时，请稍后重试"));
    // libcurl's text for an aborted write or progress callback would only say that a callback
    // refused to go on.
    if (transfer.reply.tooLarge)
        return failure(QStringLiteral("NAS 回复过大"));
    if (transfer.idleExpired)
        return { std::nullopt, QuenloResult::Domain::Curl, CURLE_OPERATION_TIMEDOUT,
            QString::fromUtf8(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)) };
    if (result != CURLE_OK) {
        const QString text
            = errorText[0] ? QString::fromUtf8(errorText).trimmed() : QString::fromUtf8(curl_easy_strerror(result));
        return { std::nullopt, QuenloResult::Domain::Curl, int(result), text };
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    QuenloResult reply = readNasReply(status, transfer.reply.body);
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
