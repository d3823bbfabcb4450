#include "WorkspaceLauncher.h"

#import <AppKit/AppKit.h>

std::optional<Error> WorkspaceLauncher::launchApplication(const QString& bundlePath) {
    @autoreleasepool {
        NSError* failure = nil;
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
        NSRunningApplication* launched = [NSWorkspace.sharedWorkspace
            launchApplicationAtURL:[NSURL fileURLWithPath:bundlePath.toNSString()]
                           options:0
                     configuration:@{}
                             error:&failure];
#pragma clang diagnostic pop
        if (launched)
            return std::nullopt;
        return Error{QString::fromNSString(failure.domain), int(failure.code),
                     QString::fromNSString(failure.localizedDescription)};
    }
}
