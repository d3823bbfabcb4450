#include "WorkspaceLauncher.h"

#import <AppKit/AppKit.h>
#include <QCoreApplication>
#include <QMetaObject>

void WorkspaceLauncher::launchApplication(const QString& bundlePath, Launched launched) {
    @autoreleasepool {
        NSWorkspaceOpenConfiguration* configuration = [NSWorkspaceOpenConfiguration configuration];
        // An agent has no window to bring forward; the installer's stays in front.
        configuration.activates = NO;
        // A block holds a reference parameter by reference: the path must be its own copy.
        const QString path = bundlePath;
        [NSWorkspace.sharedWorkspace
            openApplicationAtURL:[NSURL fileURLWithPath:path.toNSString()]
                   configuration:configuration
               completionHandler:^(NSRunningApplication* application, NSError* failure) {
                 // Called on a queue of Launch Services' own: only values cross to the main
                 // thread, where the installer's objects live.
                 std::optional<Error> error;
                 if (!application)
                     error =
                         failure
                             ? Error{QString::fromNSString(failure.domain), int(failure.code),
                                     QString::fromNSString(failure.localizedDescription)}
                             : Error{QStringLiteral("NSCocoaErrorDomain"), 0,
                                     QStringLiteral("The system did not start “%1”.").arg(path)};
                 QCoreApplication* const app = QCoreApplication::instance();
                 if (!app)
                     return;
                 QMetaObject::invokeMethod(
                     app, [launched, error] { launched(error); }, Qt::QueuedConnection);
               }];
    }
}
