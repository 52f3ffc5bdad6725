#include "service/service.h"

#include "net/localapi.h"
#include "service/projectroot.h"
#include "service/runcapturing.h"
#include "service/smallfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringDecoder>

#include <chrono>
#include <thread>

#include <signal.h>
#include <unistd.h>

namespace quenlo {

namespace {

// Far beyond any real script; a FIFO or device named server.py is never read at all.
constexpr qint64 serverScriptLimit = 16 * 1024 * 1024;

const QString serverScript = QStringLiteral("server.py");
const QString interpreter = QStringLiteral("runtime-python");
const QString logName = QStringLiteral("server.log");
const QString nasMarker = QStringLiteral(".nas-client.json");

const QString venvPython = QStringLiteral(".youtube-venv/bin/python");
const QString venvDownloader = QStringLiteral(".youtube-venv/bin/yt-dlp");
const QString requiredPythonVersion = QStringLiteral("3.14.7");
const QStringList pythonVersionProbe { QStringLiteral("-c"),
    QStringLiteral("import sys;print('.'.join(map(str,sys.version_info[:3])))") };
const QString videoToolsBuild
    = QStringLiteral("./runtime-python -m venv --clear .youtube-venv"
                     " && .youtube-venv/bin/python -m pip install --quiet --upgrade pip"
                     " && .youtube-venv/bin/python -m pip install --quiet --upgrade 'yt-dlp[default,curl-cffi]'");

std::optional<QString> strictUtf8(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
    return text;
}

/// An optional sign and ASCII digits, within 32 bits; anything else is not an id.
std::optional<qint32> processId(const QString &piece)
{
    static const QRegularExpression shape(QRegularExpression::anchoredPattern(QStringLiteral("[+-]?[0-9]+")));
    if (!shape.match(piece).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint32 id = piece.toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return id;
}

} // namespace

Service::Service(QString root, ServiceAddress address, SupervisorTimes times, PlatformTable table)
    : m_root(QDir::cleanPath(root))
    , m_address(address)
    , m_times(times)
    , m_table(std::move(table))
{
}

bool Service::registeredBridge() const
{
    const std::optional<QString> registered = registeredProject();
    return registered && QDir::cleanPath(*registered) == m_root;
}

bool Service::nasClient() const
{
    return registeredBridge() || QFileInfo::exists(m_root + QLatin1Char('/') + nasMarker);
}

std::optional<QString> Service::expectedVersion() const
{
    const std::optional<QByteArray> bytes = readSmallFile(m_root + QLatin1Char('/') + serverScript, serverScriptLimit);
    if (!bytes)
        return std::nullopt;
    const std::optional<QString> text = strictUtf8(*bytes);
    if (!text)
        return std::nullopt;
    // Unicode properties, so \s also takes the wide spaces a CJK editor may leave around "=".
    static const QRegularExpression assignment(
        QStringLiteral(R"re(APP_VERSION\s*=\s*"([0-9]+)")re"), QRegularExpression::UseUnicodePropertiesOption);
    const QRegularExpressionMatch match = assignment.match(*text);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1);
}

std::optional<QString> Service::runningVersion() const
{
    return readRunningVersion(ask(m_address, endpoints::version));
}

bool Service::alive() const
{
    return ask(m_address, endpoints::version).status == 200;
}

bool Service::databaseReadable() const
{
    return ask(m_address, nasClient() ? endpoints::menuStatusProbe : endpoints::preferences).status == 200;
}

bool Service::waitAlive(Milliseconds limit) const
{
    return waitFor(true, limit);
}

bool Service::waitGone(Milliseconds limit) const
{
    return waitFor(false, limit);
}

bool Service::waitFor(bool up, Milliseconds limit) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (alive() == up)
            return true;
        std::this_thread::sleep_for(m_times.probeInterval);
    }
    return alive() == up;
}

void Service::killRunning() const
{
    const QString listing = runCapturing(m_table.lsof,
        { QStringLiteral("-ti"), QStringLiteral("tcp:%1").arg(m_address.port), QStringLiteral("-sTCP:LISTEN") });
    // A socket of our own on the port (one inherited, or a stand-in server in the same
    // process) must not make the companion terminate itself.
    const pid_t self = ::getpid();
    static const QRegularExpression separators(QStringLiteral("[\n ]"));
    for (const QString &piece : listing.split(separators, Qt::SkipEmptyParts)) {
        const std::optional<qint32> id = processId(piece);
        // 0 and negative ids would address whole process groups, ours among them.
        if (id && *id > 0 && *id != self)
            ::kill(pid_t(*id), SIGTERM);
    }
}

void Service::stop() const
{
    killRunning();
    waitGone(m_times.stopWait);
}

std::optional<QString> Service::start() const
{
    if (registeredBridge()) {
        // The desktop client's service manager owns this server and its log.
        runCapturing(m_table.serviceManager,
            m_table.serverAgentStartArguments(::getuid(), QStringLiteral(QUENLO_SERVER_AGENT_LABEL)));
        return std::nullopt;
    }

    const QString logPath = m_root + QLatin1Char('/') + logName;
    QFile log(logPath);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return QStringLiteral("无法写入 server.log");
    log.close();

    // Append mode (O_APPEND) rather than a seek to the end: an old server that ignored
    // SIGTERM may still be writing to the same log, and neither may overwrite the other.
    QProcess server;
    server.setProgram(m_table.nohup);
    server.setArguments({ m_root + QLatin1Char('/') + interpreter, m_root + QLatin1Char('/') + serverScript,
        QString::number(m_address.port) });
    server.setWorkingDirectory(m_root);
    server.setStandardInputFile(QProcess::nullDevice());
    server.setStandardOutputFile(logPath, QIODevice::Append);
    server.setStandardErrorFile(logPath, QIODevice::Append);
    // Detached: the server is reparented away from us, so it is never left a zombie of
    // ours and lives on after the companion quits.
    if (!server.startDetached())
        return QStringLiteral("无法启动 server.py：") + server.errorString();
    return std::nullopt;
}

ServiceOutcome Service::ensure(bool allowRestart) const
{
    if (alive()) {
        if (!allowRestart)
            return ServiceOutcome::reused();
        const std::optional<QString> onDisk = expectedVersion();
        const std::optional<QString> running = runningVersion();
        if (!onDisk || !running || *onDisk == *running)
            return ServiceOutcome::reused();
        // The start follows even when the old server outlives the wait.
        stop();
    }
    if (const std::optional<QString> message = start())
        return ServiceOutcome::failed(*message);
    if (!waitAlive(m_times.startWait))
        return ServiceOutcome::failed(QStringLiteral("服务没有在 10 秒内响应"));
    if (!databaseReadable())
        return ServiceOutcome::failed(QStringLiteral("服务已启动但读不到Quenlo数据"));
    return ServiceOutcome::started();
}

ServiceOutcome Service::restart() const
{
    stop();
    if (const std::optional<QString> message = start())
        return ServiceOutcome::failed(*message);
    if (!waitAlive(m_times.startWait))
        return ServiceOutcome::failed(QStringLiteral("服务没有在 10 秒内响应"));
    return ServiceOutcome::started();
}

void Service::bootstrapYoutubeToolsIfNeeded() const
{
    // A NAS client downloads nothing itself.
    if (nasClient())
        return;
    const QString python = runCapturing(m_root + QLatin1Char('/') + venvPython, pythonVersionProbe).trimmed();
    const QString downloader
        = runCapturing(m_root + QLatin1Char('/') + venvDownloader, { QStringLiteral("--version") }).trimmed();
    if (python == requiredPythonVersion && !downloader.isEmpty())
        return;

    const QFileInfo projectPython(m_root + QLatin1Char('/') + interpreter);
    if (!projectPython.isFile() || !projectPython.isExecutable())
        return;
    QProcess build;
    build.setProgram(m_table.videoToolsShell);
    build.setArguments({ QStringLiteral("-c"), videoToolsBuild });
    build.setWorkingDirectory(m_root);
    build.setStandardOutputFile(QProcess::nullDevice());
    build.setStandardErrorFile(QProcess::nullDevice());
    // Runs on its own for minutes; a failed rebuild shows only in the server's downloads.
    build.startDetached();
}

} // namespace quenlo
