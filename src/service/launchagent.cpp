#include "service/launchagent.h"

#include "model/identity.h"
#include "service/agentplist.h"
#include "service/applicationpath.h"
#include "service/desktopentry.h"
#include "service/runcapturing.h"
#include "service/smallfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace quenlo {

namespace {

bool isMac(const PlatformTable &table)
{
    return table.os == PlatformTable::OS::Mac;
}

// launchd's per-user domain is named after the real user id.
QString userDomain()
{
    return QStringLiteral("gui/") + QString::number(::getuid());
}

QString corruptText(const PlatformTable &table)
{
    return isMac(table) ? corruptPlistText : corruptAutostartText;
}

} // namespace

QString launchAgentURL(const PlatformTable &table)
{
    return table.launchAgentFolder + QLatin1Char('/') + launchAgentLabel + table.launchAgentExtension;
}

std::optional<QByteArray> launchAgentContent(const QString &appPath, const PlatformTable &table)
{
    for (const QChar c : appPath) {
        if (c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            return std::nullopt;
    }
    if (!isMac(table))
        return autostartDesktopEntry(appPath);
    const QByteArray xml = plistXML(launchAgentPlist(appPath).get());
    if (xml.isEmpty())
        return std::nullopt;
    return xml;
}

std::optional<QString> writeLaunchAgent(const QString &to, const QString &appPath, const PlatformTable &table)
{
    const QString folder = QFileInfo(to).absolutePath();
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(folder).toStdString()), error);
    if (error)
        return QString::fromLocal8Bit(error.message());

    const std::optional<QByteArray> content = launchAgentContent(appPath, table);
    if (!content)
        return QStringLiteral("应用路径含有无法写入开机启动文件的控制字符");

    QSaveFile file(to);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (file.write(*content) != content->size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

bool launchAgentEnabled(const PlatformTable &table)
{
    return QFileInfo::exists(launchAgentURL(table));
}

std::optional<QString> enableLaunchAgent()
{
    const PlatformTable table = currentPlatform();
    return enableLaunchAgent(runningApplicationPath(table.os), table);
}

std::optional<QString> enableLaunchAgent(const QString &appPath, const PlatformTable &table)
{
    const QString path = launchAgentURL(table);
    if (writeLaunchAgent(path, appPath, table))
        return launchAgentWriteFailed;
    // An agent that is already loaded, or a refusal, still counts: the file decides, and
    // launchd loads it at the next login anyway.
    if (isMac(table))
        runCapturing(table.serviceManager, { QStringLiteral("bootstrap"), userDomain(), path });
    return std::nullopt;
}

std::optional<QString> disableLaunchAgent(const PlatformTable &table)
{
    if (isMac(table))
        runCapturing(
            table.serviceManager, { QStringLiteral("bootout"), userDomain() + QLatin1Char('/') + launchAgentLabel });
    const QString path = launchAgentURL(table);
    if (QFile::remove(path))
        return std::nullopt;
    // A failed removal of a file that was never there is what "off" means anyway.
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
        return launchAgentDeleteFailed;
    return std::nullopt;
}

std::optional<QString> checkLaunchAgentFile(const QString &path, const QString &appPath, const PlatformTable &table)
{
    QString reason;
    const std::optional<QByteArray> bytes = readSmallFile(path, launchAgentFileLimit, &reason);
    if (!bytes)
        return reason.isEmpty() ? corruptText(table) : reason;
    if (isMac(table))
        return checkAgentPlist(*bytes, launchAgentFileLimit);
    return checkAutostartEntry(*bytes, appPath);
}

} // namespace quenlo
