#include "httpsserver.h"

#include <QFile>
#include <QProcess>
#include <QSslKey>
#include <QSslServer>
#include <QTimer>

namespace quenlo::test {

TestCertificates TestCertificates::make(const QString &folder)
{
    const char *script = R"(cd "$0" && c() { n=$1; shift; openssl req -x509 -newkey ec -pkeyopt \
ec_paramgen_curve:P-256 -nodes -subj /CN=$n -keyout $n.key -out $n.crt "$@" 2>&1; } && c ca && c unrelated && \
c server -CA ca.crt -CAkey ca.key -addext subjectAltName=IP:127.0.0.1)"; // OpenSSL 3: -CA signs as the key is made
    return { folder + "/ca.crt", folder + "/server.crt", folder + "/server.key", folder + "/unrelated.crt",
        QProcess::execute("sh", { "-c", script, folder }) ? "openssl failed" : QString() };
}

HttpsTestServer::HttpsTestServer(const QString &certFile, const QString &keyFile)
{
    QFile key(keyFile);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(QSslCertificate::fromPath(certFile));
    tls.setPrivateKey(QSslKey(key.open(QIODevice::ReadOnly) ? key.readAll() : QByteArray(), QSsl::Ec));
    auto *server = new QSslServer;
    server->setSslConfiguration(tls);
    m_error = server->listen(QHostAddress::LocalHost) ? QString() : server->errorString();
    m_origin = QStringLiteral("https://127.0.0.1:%1").arg(server->serverPort());
    QObject::connect(server, &QTcpServer::pendingConnectionAvailable, [this, server] {
        QTcpSocket *socket = server->nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, [this, socket, data = QByteArray()]() mutable {
            data += socket->readAll();
            const qsizetype end = data.indexOf("\r\n\r\n") + 4, at = data.indexOf("\r\nContent-Length: ") + 18;
            if (end < 4 || data.size() < end + (at < 18 ? 0 : data.mid(at, 12).split('\r')[0].toInt()))
                return; // the head or the body is still coming
            const QList<QByteArray> words = data.left(end).split(' ');
            const Request r { words.value(0), words.value(1), data.left(end), data.mid(end) };
            locked(m_requests).second.append(r);
            const Route route = locked(m_routes).second.value(r.method + ' ' + r.target.split('?')[0], json(404, {}));
            socket->write(route.head
                + "Content-Length: " + QByteArray::number(route.trickleMs ? 1 << 20 : route.body.size()) + "\r\n\r\n"
                + (route.trickleMs ? QByteArray() : route.body));
            auto *timer = new QTimer(socket);
            timer->callOnTimeout([socket, body = route.body, at = 0]() mutable { socket->write(body.mid(at++, 1)); });
            if (route.trickleMs)
                timer->start(route.trickleMs);
        });
    });
    server->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, server, &QObject::deleteLater);
    m_thread.start();
}

HttpsTestServer::Route HttpsTestServer::json(
    int status, const QByteArray &body, QList<QPair<QByteArray, QByteArray>> extra)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Test\r\nContent-Type: application/json\r\n";
    for (const auto &[name, value] : extra)
        head += name + ": " + value + "\r\n";
    return { head, body };
}

} // namespace quenlo::test
