#pragma once

#include <QString>

#include <memory>

namespace quenlo {

/// \brief Posts a desktop notification at once, with the default sound; results are ignored.
class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void notify(const QString &title, const QString &body) = 0;
};

/// org.freedesktop.Notifications on Linux, the notification centre on macOS.
std::unique_ptr<Notifier> makeSystemNotifier();

/// macOS: installs the delegate that shows our notifications while we are active and asks,
/// without waiting, for permission to alert with sound. Linux: nothing to prepare.
void prepareNotifications();

/// The body text as the freedesktop notification server expects it: '&', '<' and '>' escaped,
/// since servers may read the body as markup.
QString notificationMarkup(const QString &text);

} // namespace quenlo
