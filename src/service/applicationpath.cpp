#include "service/applicationpath.h"

#ifdef Q_OS_MACOS
#include <mach-o/dyld.h>
#endif

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace quenlo {

QString executablePath()
{
    if (QCoreApplication::instance() != nullptr)
        return QCoreApplication::applicationFilePath();
    // The self-tests may run before any application object exists; Qt then has no answer
    // (and warns), so ask the OS directly.
#ifdef Q_OS_MACOS
    char buffer[4096];
    uint32_t size = sizeof buffer;
    if (_NSGetExecutablePath(buffer, &size) == 0)
        return QFileInfo(QString::fromUtf8(buffer)).canonicalFilePath();
    return QString();
#endif
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    if (self.isSymLink())
        return self.canonicalFilePath();
    return QString();
}

QString applicationPath(const QString &executable, PlatformTable::OS os)
{
    if (executable.isEmpty())
        return QString();
    const QString exe = QDir::cleanPath(QFileInfo(executable).absoluteFilePath());
    if (os != PlatformTable::OS::Mac)
        return exe;
    const QDir macOS = QFileInfo(exe).dir();
    if (macOS.dirName() != QStringLiteral("MacOS"))
        return exe;
    const QString contents = QFileInfo(macOS.path()).absolutePath();
    if (QFileInfo(contents).fileName() != QStringLiteral("Contents"))
        return exe;
    const QString bundle = QFileInfo(contents).absolutePath();
    const QString bundleName = QFileInfo(bundle).fileName();
    if (bundleName.size() <= 4 || !bundleName.endsWith(QStringLiteral(".app")))
        return exe;
    return bundle;
}

QString runningApplicationPath(PlatformTable::OS os)
{
    return applicationPath(executablePath(), os);
}

QString folderHolding(const QString &application)
{
    if (application.isEmpty())
        return QString();
    return QDir::cleanPath(QFileInfo(application).absolutePath());
}

} // namespace quenlo
