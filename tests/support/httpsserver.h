#pragma once

#include <QMap>
#include <QThread>

#include <mutex>

namespace quenlo::test {

/// \brief Made by openssl for one run: a CA with a leaf for 127.0.0.1 (not "localhost"), and an unrelated CA.
struct TestCertificates {
    QString caCert, serverCert, serverKey, unrelatedCaCert, error; ///< error: empty on success
    static TestCertificates make(const QString &folder);
};

/// \brief A real HTTPS server on 127.0.0.1, on a thread of its own so that blocking clients can call it:
/// canned replies per "METHOD path" (404 otherwise, any query ignored), every request recorded.
class HttpsTestServer final {
public:
    struct Route {
        QByteArray head, body; ///< head: status line and headers, without Content-Length
        int trickleMs = 0; ///< above 0: the head, then one byte of body this often, then silence
    };
    struct Request {
        QByteArray method, target, head, body; ///< target as sent; head: request line and header lines
    };

    HttpsTestServer(const QString &certFile, const QString &keyFile);
    ~HttpsTestServer() { m_thread.quit(), m_thread.wait(); }
    QString error() const { return m_error; } ///< empty when the server listens
    QString origin() const { return m_origin; }
    static Route json(int status, const QByteArray &body, QList<QPair<QByteArray, QByteArray>> extraHeaders = {});
    void route(const QByteArray &m, const QByteArray &p, const Route &r) { locked(m_routes).second[m + ' ' + p] = r; }
    QList<Request> requests() const { return locked(m_requests).second; }
    void clearLog() { locked(m_requests).second.clear(); }

private:
    using Lock = std::unique_lock<std::mutex>;
    /// \a value with the lock the server thread takes too, held to the end of the statement.
    template <typename T> std::pair<Lock, T &> locked(T &value) const { return { Lock(m_mutex), value }; }

    mutable std::mutex m_mutex;
    QMap<QByteArray, Route> m_routes;
    QList<Request> m_requests;
    QThread m_thread;
    QString m_origin, m_error;
};

/// Makes libcurl bypass any proxy the environment names, so clients reach loopback servers.
inline const auto unsetProxyVariables = [] { qputenv("no_proxy", "*"); };

} // namespace quenlo::test
