#include "demolibrary.h"

#include "benchenv.h"
#include "net/localapi.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace quenlo::bench {

quint16 freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

DemoLibrary::DemoLibrary()
{
    m_root = QDir::tempPath() + QStringLiteral("/quenlo-bench-") + QUuid::createUuid().toString(QUuid::Id128);
    QDir().mkpath(m_root);
    const QString demo = QStringLiteral(QUENLO_SOURCE_DIR "/examples/demo-library/");
    for (const QString &name : { QStringLiteral("server.py"), QStringLiteral("runtime-python") }) {
        QFile::copy(demo + name, m_root + QLatin1Char('/') + name);
        QFile::setPermissions(m_root + QLatin1Char('/') + name, QFile(demo + name).permissions());
    }
}

DemoLibrary::~DemoLibrary()
{
    stop();
    QDir(m_root).removeRecursively();
}

bool DemoLibrary::start(quint16 port)
{
    m_port = port;
    m_process = std::make_unique<QProcess>();
    m_process->setWorkingDirectory(m_root);
    m_process->setStandardOutputFile(m_root + QStringLiteral("/server.log"), QIODevice::Append);
    m_process->setStandardErrorFile(m_root + QStringLiteral("/server.log"), QIODevice::Append);
    m_process->start(
        m_root + QStringLiteral("/runtime-python"), { m_root + QStringLiteral("/server.py"), QString::number(port) });
    if (!m_process->waitForStarted(5000))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ask(address(), endpoints::version).status == 200)
            return true;
        QThread::msleep(20);
    }
    return false;
}

bool DemoLibrary::startWithToolsReady(quint16 port)
{
    const QString tools = m_root + QStringLiteral("/.youtube-venv/bin/");
    writeFile(tools + QStringLiteral("python"), "#!/bin/sh\necho 3.14.7\n");
    writeFile(tools + QStringLiteral("yt-dlp"), "#!/bin/sh\necho 2025.01.01\n");
    for (const QString &tool : {QStringLiteral("python"), QStringLiteral("yt-dlp")})
        QFile::setPermissions(tools + tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return start(port);
}

void DemoLibrary::stop()
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(5000)) {
        m_process->kill();
        m_process->waitForFinished(2000);
    }
}

} // namespace quenlo::bench
