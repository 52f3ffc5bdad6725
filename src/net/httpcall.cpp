#include "net/httpcall.h"

#include "net/curlglobal.h"

#include <QJsonDocument>

#include <curl/curl.h>

#include <memory>

namespace quenlo {

std::optional<QJsonObject> jsonObject(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

std::optional<QJsonObject> HTTPReply::json() const { return jsonObject(body); }

namespace {

struct CurlDeleter {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

} // namespace

HTTPReply httpCall(const ServiceAddress &server, const QString &path, const QString &method,
                   const std::optional<QJsonObject> &body, double timeout)
{
    if (!server.usable())
        return {};
    ensureCurlReady();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl)
        return {};

    const QByteArray url = (server.base() + path).toUtf8();
    const QByteArray verb = method.toUtf8();
    QByteArray payload;
    std::unique_ptr<curl_slist, HeaderListDeleter> headers(curl_slist_append(nullptr, "X-Quenlo: 1"));
    if (body) {
        payload = QJsonDocument(*body).toJson(QJsonDocument::Compact);
        headers.reset(curl_slist_append(headers.release(), "Content-Type: application/json"));
    } else {
        // A POST without a body would otherwise carry libcurl's form-urlencoded type; the
        // empty value removes it, so a type goes out only with a body.
        headers.reset(curl_slist_append(headers.release(), "Content-Type:"));
    }
    // libcurl adds "Expect: 100-continue" to larger bodies and waits for it; the server never asks.
    headers.reset(curl_slist_append(headers.release(), "Expect:"));

    // A reply past replyLimit aborts the transfer: it reads as no answer (status -1, no body).
    BoundedReply received;
    const long timeoutMs = long(qBound(1.0, timeout * 1000.0, 86400000.0));
    CURL *h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.constData());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, keepBoundedBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, countBoundedHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &received);
    if (body) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, payload.constData());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(payload.size()));
    }
    if (verb == "GET" && !body)
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    else if (verb != "POST")
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, verb.constData());
    else if (!body) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, 0L);
    }

    if (curl_easy_perform(h) != CURLE_OK)
        return {};
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status <= 0)
        return {};
    return {status, received.body};
}

} // namespace quenlo
