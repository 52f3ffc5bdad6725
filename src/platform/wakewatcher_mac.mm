#include "platform/wakewatcher.h"

#include <QPointer>

#import <AppKit/AppKit.h>

namespace quenlo {

namespace {
/// Holds the workspace observer and removes it when the watcher goes.
class WakeObserver final : public QObject {
public:
    explicit WakeObserver(WakeWatcher *watcher) : QObject(watcher)
    {
        const QPointer<WakeWatcher> target(watcher);
        NSNotificationCenter *center = [[NSWorkspace sharedWorkspace] notificationCenter];
        id observer = [center addObserverForName:NSWorkspaceDidWakeNotification
                                          object:nil
                                           queue:[NSOperationQueue mainQueue]
                                      usingBlock:^(NSNotification *) {
                                          if (target)
                                              Q_EMIT target->woke();
                                      }];
        m_observer = CFBridgingRetain(observer);
    }
    ~WakeObserver() override
    {
        [[[NSWorkspace sharedWorkspace] notificationCenter] removeObserver:(__bridge id)m_observer];
        CFRelease(m_observer);
    }

private:
    CFTypeRef m_observer = nullptr;
};
} // namespace

WakeWatcher::WakeWatcher(QObject *parent) : QObject(parent) { new WakeObserver(this); }

} // namespace quenlo

// The header has no shared .cpp beside it for CMake to moc it with, so each OS file does.
#include "moc_wakewatcher.cpp"
