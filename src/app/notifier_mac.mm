#include "app/notifier.h"

#import <Foundation/Foundation.h>
#import <UserNotifications/UserNotifications.h>

/// Shows the companion's notifications even while it is the active application.
@interface QuenloNotificationDelegate : NSObject <UNUserNotificationCenterDelegate>
@end

@implementation QuenloNotificationDelegate
- (void)userNotificationCenter:(UNUserNotificationCenter *)center
       willPresentNotification:(UNNotification *)notification
         withCompletionHandler:(void (^)(UNNotificationPresentationOptions options))completionHandler
{
    (void)center;
    (void)notification;
    if (@available(macOS 11.0, *))
        completionHandler(UNNotificationPresentationOptionBanner | UNNotificationPresentationOptionSound);
    else
        completionHandler(UNNotificationPresentationOptionAlert | UNNotificationPresentationOptionSound);
}
@end

namespace quenlo {

namespace {

/// The notification centre throws for a process without a bundle identifier (a bare binary
/// started from a build folder); such a process simply posts nothing.
bool canUseNotificationCenter() { return [[NSBundle mainBundle] bundleIdentifier] != nil; }

class NotificationCenterNotifier final : public Notifier {
public:
    void notify(const QString &title, const QString &body) override
    {
        if (!canUseNotificationCenter())
            return;
        @autoreleasepool {
            UNMutableNotificationContent *content = [[UNMutableNotificationContent alloc] init];
            content.title = title.toNSString();
            content.body = body.toNSString();
            content.sound = [UNNotificationSound defaultSound];
            UNNotificationRequest *request =
                [UNNotificationRequest requestWithIdentifier:[[NSUUID UUID] UUIDString] content:content trigger:nil];
            [[UNUserNotificationCenter currentNotificationCenter] addNotificationRequest:request
                                                                   withCompletionHandler:nil];
        }
    }
};

} // namespace

std::unique_ptr<Notifier> makeSystemNotifier() { return std::make_unique<NotificationCenterNotifier>(); }

void prepareNotifications()
{
    if (!canUseNotificationCenter())
        return;
    static QuenloNotificationDelegate *delegate = [[QuenloNotificationDelegate alloc] init];
    UNUserNotificationCenter *center = [UNUserNotificationCenter currentNotificationCenter];
    center.delegate = delegate;
    [center requestAuthorizationWithOptions:(UNAuthorizationOptionAlert | UNAuthorizationOptionSound)
                          completionHandler:^(BOOL, NSError *) {}];
}

} // namespace quenlo
