#include "platform/singleinstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>

namespace quenlo {

namespace {
const QString interfaceName = QStringLiteral("local.library.menubar.Instance");
constexpr int pingWaitMs = 400;
constexpr int claimWaitMs = 600;

/// What the companion exports on its bus name: Activate(), which a second start calls.
class ActivateTarget final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "local.library.menubar.Instance")
public:
    ActivateTarget(const QDBusConnection &bus, const QString &path, QObject *parent)
        : QObject(parent), m_bus(bus), m_path(path)
    {
    }
    ~ActivateTarget() override
    {
        if (!m_name.isEmpty() && m_bus.interface())
            m_bus.interface()->unregisterService(m_name);
        if (m_exported)
            m_bus.unregisterObject(m_path);
    }

    bool exportOn() { return m_exported = m_bus.registerObject(m_path, this, QDBusConnection::ExportAllSlots); }
    void owns(const QString &name) { m_name = name; }

public Q_SLOTS:
    void Activate() { Q_EMIT activated(); }

Q_SIGNALS:
    void activated();

private:
    QDBusConnection m_bus;
    QString m_path;
    QString m_name;
    bool m_exported = false;
};
} // namespace

bool SingleInstance::claimOnce()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusConnectionInterface *daemon = bus.isConnected() ? bus.interface() : nullptr;
    if (!daemon)
        return claimSocket();

    const QString name = busName();
    // One path per key, so several keys can be claimed on the one connection a process has.
    const QString path = QStringLiteral("/local/library/menubar/i") + m_hash;
    // Exported before the name is taken, so no second start can find the name without it.
    auto *target = new ActivateTarget(bus, path, this);
    if (!target->exportOn()) {
        delete target;
        return claimSocket();
    }
    const QDeadlineTimer deadline(claimWaitMs);
    do {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = daemon->registerService(
            name, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
        if (!reply.isValid())
            break;
        if (reply.value() == QDBusConnectionInterface::ServiceRegistered) {
            target->owns(name);
            connect(target, &ActivateTarget::activated, this, &SingleInstance::activated);
            return true;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(name, path, interfaceName, QStringLiteral("Activate"));
        call.setAutoStartService(false);
        // The reply says the owner has the ping; a slow owner still gets it, only later.
        if (bus.call(call, QDBus::Block, pingWaitMs).type() == QDBusMessage::ReplyMessage ||
            daemon->isServiceRegistered(name).value()) {
            delete target;
            return false;
        }
        // The owner quit between our request and our call: the name is free again.
    } while (!deadline.hasExpired());
    delete target;
    return claimSocket();
}

} // namespace quenlo

#include "singleinstance_linux.moc"
