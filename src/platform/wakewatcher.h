#pragma once

#include <QObject>

namespace quenlo {

/// \brief Says when the machine wakes from sleep, so the menu can refresh at once.
///
/// Linux: logind's PrepareForSleep(false) on the system bus; without a system bus it stays
/// silent. macOS: NSWorkspaceDidWakeNotification.
class WakeWatcher final : public QObject {
    Q_OBJECT
public:
    explicit WakeWatcher(QObject *parent = nullptr);

Q_SIGNALS:
    void woke();
};

} // namespace quenlo
