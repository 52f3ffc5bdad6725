#pragma once

#include <QObject>
#include <QTimer>

namespace quenlo {

/// \brief Says when the tray icon can be created.
///
/// Qt picks StatusNotifierItem or XEmbed once per process, at the first tray call, by asking
/// whether a StatusNotifierWatcher with a host exists. A panel that starts after the companion
/// at login would make it pick XEmbed for good, so the first call waits (without blocking)
/// for the watcher, bounded, and then goes ahead either way.
class TrayStarter final : public QObject {
    Q_OBJECT
public:
    TrayStarter(int waitMs, QObject *parent = nullptr);
    void start();

Q_SIGNALS:
    void ready();

private Q_SLOTS:
    void checkHost();

private:
    void finish();

    QTimer m_deadline;
    bool m_done = false;
};

} // namespace quenlo
