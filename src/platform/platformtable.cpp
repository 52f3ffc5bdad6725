#include "platform/platformtable.h"

#include <QDir>
#include <QStandardPaths>

namespace quenlo {

QStringList PlatformTable::serverAgentStartArguments(uint uid, const QString &label) const
{
    if (os == OS::Mac)
        return {QStringLiteral("kickstart"), QStringLiteral("gui/%1/%2").arg(uid).arg(label)};
    return {QStringLiteral("--user"), QStringLiteral("start"), label + QStringLiteral(".service")};
}

PlatformTable macPlatform(const QString &home)
{
    PlatformTable t;
    t.os = PlatformTable::OS::Mac;
    t.lsof = QStringLiteral("/usr/sbin/lsof");
    t.nohup = QStringLiteral("/usr/bin/nohup");
    t.serviceManager = QStringLiteral("/bin/launchctl");
    t.videoToolsShell = QStringLiteral("/bin/zsh");
    t.launchAgentFolder = home + QStringLiteral("/Library/LaunchAgents");
    t.launchAgentExtension = QStringLiteral(".plist");
    return t;
}

PlatformTable linuxPlatform(const QString &configHome)
{
    PlatformTable t;
    t.os = PlatformTable::OS::Linux;
    t.lsof = QStringLiteral("/usr/bin/lsof");
    t.nohup = QStringLiteral("/usr/bin/nohup");
    t.serviceManager = QStringLiteral("/usr/bin/systemctl");
    t.videoToolsShell = QStringLiteral("/bin/sh");
    t.launchAgentFolder = configHome + QStringLiteral("/autostart");
    t.launchAgentExtension = QStringLiteral(".desktop");
    return t;
}

PlatformTable currentPlatform()
{
#ifdef Q_OS_MACOS
    return macPlatform(QDir::homePath());
#else
    return linuxPlatform(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
#endif
}

} // namespace quenlo
