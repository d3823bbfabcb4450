#include "WorkspaceRunningApplications.h"

#import <AppKit/AppKit.h>

bool WorkspaceRunningApplications::isRunning(const QString& bundleIdentifier) {
    @autoreleasepool {
        return [NSRunningApplication
                   runningApplicationsWithBundleIdentifier:bundleIdentifier.toNSString()]
                   .count > 0;
    }
}
