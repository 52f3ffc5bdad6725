#include "scripttools.h"

#include "testenv.h"

#include <QFile>
#include <QtTest>

namespace quenlo {

char *toString(const ServiceOutcome &outcome)
{
    static const char *const kinds[] = { "reused", "started", "failed" };
    return QTest::toString(QStringLiteral("%1(%2)").arg(QLatin1String(kinds[int(outcome.kind)]), outcome.message));
}

} // namespace quenlo

namespace quenlo::test {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeScript(const QString &path, const QByteArray &body)
{
    if (!writeFile(path, "#!/bin/sh\n" + body))
        return false;
    return QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner | QFileDevice::ExeUser);
}

QByteArray shellQuoted(const QString &path)
{
    return "'" + path.toUtf8() + "'";
}

} // namespace quenlo::test
