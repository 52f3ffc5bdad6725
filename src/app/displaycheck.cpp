#include "app/displaycheck.h"

#include <QList>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace quenlo {

namespace {

QtMessageHandler g_previous = nullptr;

struct Held {
    QtMsgType type;
    QByteArray category;
    QString message;
};
// What Qt says while the platform starts: shown afterwards if it starts, never if it fails,
// so a failure is the one line below rather than Qt's advice to reinstall.
QList<Held> g_held;

void holdOrEnd(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg) {
        g_held.append({type, QByteArray(context.category ? context.category : ""), message});
        return;
    }
    const QByteArray line = noDisplayLine(QStringLiteral("the display could not be opened; nothing was started"))
                                .toLocal8Bit();
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
    std::_Exit(1);
}

} // namespace

std::optional<QString> missingDisplay(const QString &platform, const QString &display, const QString &wayland)
{
#ifdef Q_OS_MACOS
    Q_UNUSED(platform)
    Q_UNUSED(display)
    Q_UNUSED(wayland)
    return std::nullopt;
#else
    if (!platform.isEmpty() || !display.isEmpty() || !wayland.isEmpty())
        return std::nullopt;
    return QStringLiteral("no display (neither DISPLAY nor WAYLAND_DISPLAY is set); nothing was started");
#endif
}

QString noDisplayLine(const QString &why) { return QStringLiteral("quenlo-menubar: ") + why + QLatin1Char('\n'); }

DisplayGuard::DisplayGuard() { g_previous = qInstallMessageHandler(holdOrEnd); }

DisplayGuard::~DisplayGuard()
{
    qInstallMessageHandler(g_previous);
    for (const Held &held : std::as_const(g_held)) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
        if (g_previous)
            g_previous(held.type, context, held.message);
        else
            qt_message_output(held.type, context, held.message);
    }
    g_held.clear();
}

} // namespace quenlo
