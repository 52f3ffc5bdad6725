#pragma once

#include "model/settings.h"
#include "platform/secretstore.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <memory>
#include <optional>

namespace quenlo {

/// The origin of the NAS library server, fixed at build time (QUENLO_ORIGIN): "https://host".
QString quenloOrigin();

/// \brief The outcome of one QuenloAPI::call: the reply object, or an error whose message is
/// shown to the user unchanged.
struct QuenloResult {
    enum class Domain {
        None, ///< success
        Quenlo, ///< the client's own error: code 1, or 401 when no valid login is present
        Curl, ///< a transport failure: code is libcurl's CURLcode, message libcurl's own text
    };
    std::optional<QJsonObject> reply; ///< present exactly on success
    Domain domain = Domain::None;
    int code = 0;
    QString message;

    bool ok() const { return reply.has_value(); }
};

/// What a finished transfer's HTTP \a status and \a body mean, before any login step: no status
/// (0) is "NAS 暂不可达", 401 asks for the login code, 2xx gives the body as an object (an empty
/// one when it is not a JSON object), any other status the body's "error" string or "操作未成功".
QuenloResult readNasReply(long status, const QByteArray &body);

/// \brief The blocking HTTPS client of the NAS library server, keeping its login session.
///
/// Failures are values: call() never throws, it returns a QuenloResult whose message is
/// ready for the menu. Every request carries "X-Quenlo: 1" and, once logged in, the session
/// cookie. A successful POST to exactly "/api/session" is the login: the "quenlo_session" cookie
/// of its reply becomes the session and, with \a persist, is written to the secret store.
///
/// Not thread-safe: calls on one instance must not overlap (the application makes them all on
/// its serial work queue). Each call blocks for at most the deadline of its NasTimes.
class QuenloAPI final {
public:
    /// The application's client: quenloOrigin(), the system's CA store and, when \a persist,
    /// the OS secret store, from which a stored session is loaded now. Never fails: an absent or
    /// unreadable item leaves cookie() empty. Without \a persist no store is ever touched.
    explicit QuenloAPI(bool persist = true, NasTimes times = {});
    /// For tests: another \a origin ("https://host:port"), trusting only the CA certificates in
    /// \a caFile (the system store when empty), and \a store (not owned; it must outlive this
    /// object and may be null only when \a persist is false).
    QuenloAPI(const QString &origin, const QString &caFile, SecretStore *store, bool persist = true,
              NasTimes times = {});
    ~QuenloAPI();
    QuenloAPI(const QuenloAPI &) = delete;
    QuenloAPI &operator=(const QuenloAPI &) = delete;

    /// Sends a POST with \a body as compact JSON when it is given, a GET otherwise, to the
    /// origin followed directly by \a path (which must start with "/" and hold only characters
    /// allowed in a URL, else code 1 "请求地址无效" and nothing is sent). A reply body that is
    /// not a JSON object reads as an empty object. Errors, checked in this order:
    /// - no answer within the deadline (25 s): code 1 "连接超时，请稍后重试";
    /// - headers and body together past replyLimit (4 MiB, curlglobal.h), read no further:
    ///   code 1 "NAS 回复过大";
    /// - the idle limit (20 s) without a byte in either direction: Domain::Curl,
    ///   CURLE_OPERATION_TIMEDOUT and libcurl's text for it;
    /// - another transport failure (TLS, refused connection, no connection within the idle
    ///   limit): Domain::Curl with libcurl's text;
    /// - no HTTP status: code 1 "NAS 暂不可达"; status 401: code 401 "请先设置Quenlo登录码";
    ///   another status outside 200-299: code 1 with the reply's "error" string, else "操作未成功".
    /// After a login: "登录回执不完整" (no session cookie; nothing changes), "无法更新钥匙串登录状态" or
    /// "无法保存登录状态到钥匙串" (the store refused; the new session is kept in memory anyway).
    QuenloResult call(const QString &path, const std::optional<QJsonObject> &body);

    /// The session exactly as sent in the "Cookie" header ("quenlo_session=…"); empty before any
    /// login.
    QString cookie() const { return QString::fromUtf8(m_cookie); }
    bool persist() const { return m_persist; }

private:
    void loadSession();
    QuenloResult keepSession(const QByteArray &cookie, QJsonObject reply);

    QString m_origin;
    QByteArray m_caFile;
    NasTimes m_times;
    std::unique_ptr<SecretStore> m_ownedStore;
    SecretStore *m_store = nullptr;
    bool m_persist = false;
    QByteArray m_cookie;
};

} // namespace quenlo
