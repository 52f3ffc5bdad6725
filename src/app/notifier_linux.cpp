#include "app/notifier.h"

#include "model/identity.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace quenlo {

namespace {

/// Sends Notify directly: Qt's tray message carries no sound hint and does nothing under XEmbed.
class FreedesktopNotifier final : public Notifier {
public:
    void notify(const QString &title, const QString &body) override
    {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
        QVariantMap hints;
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
        hints.insert(QStringLiteral("desktop-entry"), launchAgentLabel);
        call << appDisplayName << uint(0) << QStringLiteral("local.library.menubar") << title
             << notificationMarkup(body) << QStringList() << hints << int(-1);
        // Asynchronous: a missing or slow notification server must not stall the menu.
        QDBusConnection::sessionBus().send(call);
    }
};

} // namespace

std::unique_ptr<Notifier> makeSystemNotifier() { return std::make_unique<FreedesktopNotifier>(); }

void prepareNotifications() {}

} // namespace quenlo
