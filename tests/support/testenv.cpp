#include "testenv.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>

namespace quenlo::test {

QString scratchDir()
{
    const QByteArray fromRunner = qgetenv("QUENLO_TEST_SCRATCH");
    if (!fromRunner.isEmpty())
        return QString::fromLocal8Bit(fromRunner);
    static QTemporaryDir fallback;
    return fallback.path();
}

QString makeFolder(const QString &name)
{
    static int counter = 0;
    const QString path = scratchDir() + QStringLiteral("/") + name + QStringLiteral("-") + QString::number(++counter);
    QDir().mkpath(path);
    return path;
}

QString copyDemoLibrary(const QString &name)
{
    const QString target = makeFolder(name);
    const QString source = sourceDir() + QStringLiteral("/examples/demo-library");
    QDirIterator it(source, QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString base = QFileInfo(file).fileName();
        if (base == QStringLiteral("server.log") || base.endsWith(QStringLiteral(".json")))
            continue;
        QFile::copy(file, target + QStringLiteral("/") + base);
        QFile::setPermissions(target + QStringLiteral("/") + base, QFile::permissions(file));
    }
    return target;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        QThread::msleep(20);
    }
    return condition();
}

QString sourceDir() { return QStringLiteral(QUENLO_SOURCE_DIR); }
QString menubarBinary() { return QStringLiteral(QUENLO_MENUBAR_BIN); }

} // namespace quenlo::test
