// The NAS client's input handling. Odd first byte: the path of QuenloAPI::call(), against an
// origin whose port refuses at once; a path it accepts must be sent to that origin and no
// other, a path it refuses must not be sent. Even first byte: bits 1-4 pick an HTTP status, the
// rest is the reply body, read as call() reads it (readNasReply), then the NAS add's message.

#include "fuzzcheck.h"

#include "engine/commandmessages.h"
#include "model/text.h"
#include "net/httpcall.h"
#include "net/quenloapi.h"

#include <QJsonValue>

#include <curl/curl.h>

#include <algorithm>

using namespace quenlo;
using namespace quenlo::fuzz;

namespace {

const QString origin = QStringLiteral("https://127.0.0.1:1");

/// The host and port libcurl itself reads from \a url; empty when it refuses the URL.
QByteArray hostAndPort(const QByteArray &url)
{
    CURLU *parsed = curl_url();
    QByteArray out;
    if (curl_url_set(parsed, CURLUPART_URL, url.constData(), 0) == CURLUE_OK) {
        char *host = nullptr;
        char *port = nullptr;
        if (curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK
            && curl_url_get(parsed, CURLUPART_PORT, &port, 0) == CURLUE_OK)
            out = QByteArray(host) + ':' + QByteArray(port);
        curl_free(host);
        curl_free(port);
    }
    curl_url_cleanup(parsed);
    return out;
}

void path(const QString &path)
{
    static QuenloAPI api(origin, QString(), nullptr, false);
    const QuenloResult result = api.call(path, std::nullopt);
    check(!result.ok(), "nothing listens at the origin");
    const bool refused = result.domain == QuenloResult::Domain::Quenlo && result.code == 1
        && result.message == QStringLiteral("请求地址无效");
    // RFC 3986 has no place for these anywhere in a URL; the header promises to send none.
    const bool foreign = std::any_of(path.begin(), path.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return u <= 0x20 || u >= 0x7f || QStringView(u"\"<>\\^`{|}").contains(c);
    });
    if (!path.startsWith(u'/') || foreign)
        check(refused, "a path that is not a URL path is refused", path);
    if (refused)
        return;
    // Sent: libcurl tried the origin's host and port and found it closed.
    check(result.domain == QuenloResult::Domain::Curl && result.code == CURLE_COULDNT_CONNECT,
        "an accepted path reaches the connection step", path + QStringLiteral(" -> ") + result.message);
    check(hostAndPort((origin + path).toUtf8()) == "127.0.0.1:1", "an accepted path keeps the origin's host", path);
}

// 0 is "no status"; the rest straddle each rule's edges.
constexpr long statuses[16] = { 200, 0, 201, 204, 299, 300, 199, 301, 400, 401, 403, 404, 500, 503, -1, 100 };

void reply(long status, const QByteArray &body)
{
    const QuenloResult result = readNasReply(status, body);
    const std::optional<QJsonObject> object = jsonObject(body);
    if (status >= 200 && status <= 299) {
        check(result.ok() && result.domain == QuenloResult::Domain::None, "2xx is a success");
        check(*result.reply == object.value_or(QJsonObject()), "a success hands back the body's object, or {}");
    } else {
        check(!result.ok() && result.domain == QuenloResult::Domain::Quenlo, "any other status is the client's error");
        QString expected;
        if (status <= 0)
            expected = QStringLiteral("NAS 暂不可达");
        else if (status == 401)
            expected = QStringLiteral("请先设置Quenlo登录码");
        else if (object && object->value(QStringLiteral("error")).isString()
            && !isBlankText(object->value(QStringLiteral("error")).toString()))
            expected = object->value(QStringLiteral("error")).toString();
        else
            expected = QStringLiteral("操作未成功");
        check(result.message == expected && !isBlankText(result.message), "the failure says what the rules say",
            result.message);
        check(result.code == (status == 401 ? 401 : 1), "401 keeps its code, the rest are code 1");
        return;
    }
    const QString message = nasTaskMessage(*result.reply);
    check(message == addedMessage || message == QStringLiteral("未取得投递回执，请查看任务中心"),
        "the NAS add says one of its two texts");
    if (message == addedMessage)
        check(result.reply->value(QStringLiteral("ok")) == QJsonValue(true)
                && result.reply->contains(QStringLiteral("id")),
            "success needs ok true and an id");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input input(data, size);
    const uint8_t mode = input.byte();
    if (mode & 1)
        path(textOf(input.rest(), mode & 2));
    else
        reply(statuses[(mode >> 1) & 15], input.rest());
    return 0;
}
