#include "benchenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace quenlo::bench {

QString isolateEnvironment()
{
    const QString home
        = QDir::tempPath() + QStringLiteral("/quenlo-bench-home-") + QUuid::createUuid().toString(QUuid::Id128);
    for (const char *sub : { "", "/config", "/data", "/cache", "/runtime" })
        QDir().mkpath(home + QString::fromLatin1(sub));
    QFile::setPermissions(home + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", home.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home + QStringLiteral("/data")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (home + QStringLiteral("/cache")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", (home + QStringLiteral("/runtime")).toLocal8Bit());
    return home;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace quenlo::bench
