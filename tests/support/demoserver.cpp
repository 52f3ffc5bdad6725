#include "demoserver.h"

#include "net/localapi.h"
#include "testenv.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quenlo::test {

using namespace std::chrono_literals;

DemoServer::DemoServer(QString root)
    : m_root(std::move(root))
{
}

DemoServer::~DemoServer()
{
    if (running()) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

bool DemoServer::launch(const QStringList &arguments, const QStringList &environment)
{
    m_process = std::make_unique<QProcess>();
    m_process->setWorkingDirectory(m_root);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : environment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    m_process->setProcessEnvironment(env);
    m_process->start(
        m_root + QStringLiteral("/runtime-python"), QStringList { m_root + QStringLiteral("/server.py") } + arguments);
    return m_process->waitForStarted(5000);
}

bool DemoServer::start(quint16 port, const QStringList &environment)
{
    if (!launch({ QString::number(port) }, environment))
        return false;
    const ServiceAddress address { port };
    return waitUntil([&] { return running() && ask(address, endpoints::version).status == 200; }, 10s);
}

int DemoServer::stop(int signal)
{
    if (!running())
        return -1;
    ::kill(pid(), signal);
    return waitForExit(10000);
}

int DemoServer::waitForExit(int ms)
{
    if (!m_process || (running() && !m_process->waitForFinished(ms)))
        return -1;
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

pid_t DemoServer::pid() const
{
    return m_process ? pid_t(m_process->processId()) : -1;
}

bool DemoServer::running() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

QString DemoServer::takeStdout()
{
    return m_process ? QString::fromUtf8(m_process->readAllStandardOutput()) : QString();
}

QString DemoServer::takeStderr()
{
    return m_process ? QString::fromUtf8(m_process->readAllStandardError()) : QString();
}

RawReply rawRequest(quint16 port, const QByteArray &method, const QByteArray &path, const QByteArray &body)
{
    RawReply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return reply;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit { 5, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return reply;
    }
    QByteArray request = method + ' ' + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (!body.isNull())
        request += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    request += "\r\n" + body;
    ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
    QByteArray raw;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
        raw.append(chunk, qsizetype(n));
    ::close(fd);

    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return reply;
    const QList<QByteArray> lines = raw.left(end).split('\n');
    const QList<QByteArray> statusLine = lines.first().split(' ');
    reply.status = statusLine.size() > 1 ? statusLine.at(1).toInt() : -1;
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith("content-type:"))
            reply.contentType = line.mid(13).trimmed();
    }
    reply.body = raw.mid(end + 4);
    return reply;
}

} // namespace quenlo::test
