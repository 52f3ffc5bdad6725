#include "platform/wakewatcher.h"

#include <QDBusConnection>

namespace quenlo {

namespace {
/// Qt D-Bus delivers a signal to a slot named by its signature, so the slot lives here.
class SleepListener final : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

Q_SIGNALS:
    void resumed();

public Q_SLOTS:
    void prepareForSleep(bool sleeping)
    {
        if (!sleeping)
            Q_EMIT resumed();
    }
};
} // namespace

WakeWatcher::WakeWatcher(QObject *parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    auto *listener = new SleepListener(this);
    connect(listener, &SleepListener::resumed, this, &WakeWatcher::woke);
    // Naming the service makes Qt and the bus drop the same signal from anyone but logind.
    bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), listener,
                SLOT(prepareForSleep(bool)));
}

} // namespace quenlo

#include "wakewatcher_linux.moc"
// The header has no shared .cpp beside it for CMake to moc it with, so each OS file does.
#include "moc_wakewatcher.cpp"
