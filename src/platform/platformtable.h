#pragma once

#include <QString>
#include <QStringList>

namespace quenlo {

/// \brief The programs and places that differ between macOS and Linux, as plain data.
///
/// Feature code asks this table instead of testing the OS, so tests on Linux can run the
/// macOS variant against fake programs and temporary folders.
struct PlatformTable {
    enum class OS { Mac, Linux };
    OS os = OS::Linux;
    QString lsof;           ///< "/usr/sbin/lsof" | "/usr/bin/lsof"
    QString nohup;          ///< "/usr/bin/nohup" on both
    QString serviceManager; ///< "/bin/launchctl" | "/usr/bin/systemctl"
    QString videoToolsShell; ///< "/bin/zsh" | "/bin/sh"
    QString launchAgentFolder;    ///< ~/Library/LaunchAgents | $XDG_CONFIG_HOME/autostart
    QString launchAgentExtension; ///< ".plist" | ".desktop"

    /// Arguments to the service manager that start the desktop client's server agent.
    QStringList serverAgentStartArguments(uint uid, const QString &label) const;
};

/// The table for macOS, with folders under \a home.
PlatformTable macPlatform(const QString &home);
/// The table for Linux, with the autostart folder under \a configHome ($XDG_CONFIG_HOME).
PlatformTable linuxPlatform(const QString &configHome);
/// The table of the OS this binary was built for, from the current environment.
PlatformTable currentPlatform();

} // namespace quenlo
