#include "platform/singleinstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace quenlo {

namespace {
const QByteArray pingLine = QByteArrayLiteral("activate\n");
const QByteArray ackLine = QByteArrayLiteral("ok\n");
constexpr int lockWaitMs = 200;
constexpr int pingWaitMs = 400;
constexpr int silentPeerMs = 2000;

/// The owner is there when it accepts or is too busy to accept yet; a socket file that
/// refuses or is missing has no owner.
bool pingOwner(const QString &path)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(pingWaitMs))
        return socket.state() == QLocalSocket::ConnectingState || socket.error() == QLocalSocket::SocketTimeoutError;
    const QDeadlineTimer deadline(pingWaitMs);
    socket.write(pingLine);
    // Wait for the answer, so the owner has the ping before we give up our start.
    while (!socket.canReadLine() && socket.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    return true;
}
} // namespace

SingleInstance::SingleInstance(const QString &key, QObject *parent)
    : QObject(parent),
      m_hash(QString::fromLatin1(
          QCryptographicHash::hash(QDir::cleanPath(key).toUtf8(), QCryptographicHash::Sha1).toHex().left(16)))
{
}

bool SingleInstance::claim()
{
    if (!m_claimed)
        m_claimed = claimOnce();
    return m_claimed;
}

QString SingleInstance::busName() const { return QStringLiteral("local.library.menubar.i") + m_hash; }

QString SingleInstance::socketPath() const
{
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::tempPath();
    return QStringLiteral("%1/local.library.menubar-%2-%3").arg(folder).arg(getuid()).arg(m_hash);
}

bool SingleInstance::claimSocket()
{
    const QString path = socketPath();
    // Two starts that both find a dead socket must not both remove it and listen. Without the
    // lock (held elsewhere too long, or not creatable) the start goes on regardless.
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.tryLock(lockWaitMs);
    if (pingOwner(path))
        return false;
    // A companion killed without closing its server leaves the file behind.
    QLocalServer::removeServer(path);
    auto *server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(path)) {
        std::fprintf(stderr, "quenlo-menubar: cannot listen on %s (%s); a second start will not be noticed\n",
                     qPrintable(path), qPrintable(server->errorString()));
        delete server;
        return true;
    }
    connect(server, &QLocalServer::newConnection, this, [this, server] {
        while (QLocalSocket *socket = server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { answer(socket); });
            QTimer::singleShot(silentPeerMs, socket, &QObject::deleteLater);
            answer(socket);
        }
    });
    return true;
}

void SingleInstance::answer(QLocalSocket *socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > pingLine.size())
            socket->abort();
        return;
    }
    const bool ping = socket->readLine(pingLine.size() + 1) == pingLine;
    if (ping)
        socket->write(ackLine);
    socket->disconnectFromServer();
    if (ping)
        Q_EMIT activated();
}

} // namespace quenlo
