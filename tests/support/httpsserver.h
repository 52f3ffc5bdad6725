#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QProcess>
#include <QString>

#include <memory>
#include <optional>

namespace quenlo::test {

/// \brief Certificates made with the openssl command for one test run.
struct TestCertificates {
    QString caCert; ///< the CA the client is told to trust
    QString serverCert; ///< for 127.0.0.1 and localhost, signed by caCert
    QString serverKey;
    QString otherHostCert; ///< for "elsewhere.invalid" only, signed by caCert
    QString otherHostKey;
    QString unrelatedCaCert; ///< a second CA that signed nothing used here
    QString error; ///< why making them failed; empty on success

    /// Makes all of them in \a folder.
    static TestCertificates make(const QString &folder);
};

/// \brief A real HTTPS server on 127.0.0.1 (tests/support/httpsserver.py) with canned replies.
///
/// Routes can be changed between requests; every request that got past the TLS handshake is
/// recorded with its headers in order and its body; connections and failed handshakes are counted.
class HttpsTestServer final {
public:
    struct Route {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers { { "Content-Type", "application/json" } };
        QByteArray body;
        enum class Mode { Answer, Hang, Trickle } mode = Mode::Answer;
        int trickleMs = 250; ///< Trickle: the pause after each byte
        int trickleBytes = 160; ///< Trickle: how many bytes
        bool hangAfterTrickle = false; ///< Trickle: then fall silent instead of closing
    };
    struct Request {
        QByteArray method;
        QByteArray target;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        /// Every value of the header \a name (case-insensitive), in order.
        QList<QByteArray> values(const QByteArray &name) const;
    };

    HttpsTestServer(const QString &certFile, const QString &keyFile);
    ~HttpsTestServer();
    HttpsTestServer(const HttpsTestServer &) = delete;
    HttpsTestServer &operator=(const HttpsTestServer &) = delete;

    /// Empty when the server listens; otherwise what went wrong.
    QString error() const { return m_error; }
    quint16 port() const { return m_port; }
    /// "https://127.0.0.1:PORT".
    QString origin() const;

    void route(const QByteArray &method, const QByteArray &path, const Route &route);
    static Route json(int status, const QByteArray &body, QList<QPair<QByteArray, QByteArray>> extraHeaders = {});
    /// A JSON reply with one Set-Cookie header for each of \a cookies, in order.
    static Route withCookies(int status, const QByteArrayList &cookies, const QByteArray &body = "{}");
    void clearRoutes();

    QList<Request> requests() const;
    /// TCP connections accepted, with or without a request.
    int connections() const { return countEvents("connection"); }
    int failedHandshakes() const { return countEvents("tls-failed"); }
    void clearLog();

private:
    void writeRoutes();
    int countEvents(const QString &event) const;

    QString m_folder;
    QString m_routesFile;
    QString m_logFile;
    QMap<QByteArray, Route> m_routes;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_error;
};

/// Removes the proxy variables libcurl honours, so clients reach loopback servers directly.
void unsetProxyVariables();

/// Python 3 for the support scripts: /usr/bin/python3 when present, else the one on PATH.
QString python3();

} // namespace quenlo::test
