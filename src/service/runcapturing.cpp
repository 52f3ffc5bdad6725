#include "service/runcapturing.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStringDecoder>

namespace quenlo {

QString runCapturing(const QString &path, const QStringList &arguments, std::chrono::milliseconds bound)
{
    QProcess child;
    child.setProgram(path);
    child.setArguments(arguments);
    child.setStandardErrorFile(QProcess::nullDevice());
    child.setInputChannelMode(QProcess::ForwardedInputChannel);
    child.start(QIODevice::ReadOnly);
    if (!child.waitForStarted(-1))
        return {};

    // QProcess drains the pipe into its own buffer while we wait, so a chatty child never
    // blocks on a full pipe. Without a bound, one hung helper would stall every later
    // request queued behind it.
    QElapsedTimer clock;
    clock.start();
    while (child.state() != QProcess::NotRunning) {
        const qint64 left = bound.count() - clock.elapsed();
        if (left <= 0) {
            child.kill();
            child.waitForFinished(-1);
            return {};
        }
        child.waitForFinished(int(qMin<qint64>(left, 1000)));
    }

    const QByteArray bytes = child.readAllStandardOutput();
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return {};
    return text;
}

} // namespace quenlo
