#include "CocoaFileManager.h"

#import <Foundation/Foundation.h>
#include <cerrno>
#include <cstdio>

namespace {
Error errorFrom(NSError* error) {
    return {QString::fromNSString(error.domain), int(error.code),
            QString::fromNSString(error.localizedDescription)};
}
} // namespace

std::optional<QString> CocoaFileManager::applicationSupportDirectory(Error& error) {
    NSError* failure = nil;
    NSURL* url = [NSFileManager.defaultManager URLForDirectory:NSApplicationSupportDirectory
                                                      inDomain:NSUserDomainMask
                                             appropriateForURL:nil
                                                        create:NO
                                                         error:&failure];
    if (!url) {
        error = errorFrom(failure);
        return std::nullopt;
    }
    return QString::fromNSString(url.path);
}

bool CocoaFileManager::fileExistsAtPath(const QString& path) {
    return [NSFileManager.defaultManager fileExistsAtPath:path.toNSString()];
}

std::optional<Error> CocoaFileManager::createDirectoryAtPath(const QString& path) {
    NSError* failure = nil;
    if ([NSFileManager.defaultManager createDirectoryAtPath:path.toNSString()
                                withIntermediateDirectories:NO
                                                 attributes:nil
                                                      error:&failure])
        return std::nullopt;
    return errorFrom(failure);
}

std::optional<Error> CocoaFileManager::copyItem(const QString& from, const QString& to) {
    NSFileManager* files = NSFileManager.defaultManager;
    NSString* destination = to.toNSString();
    // A copy in progress stands beside the destination and takes its place only whole.
    NSString* partial = [destination.stringByDeletingLastPathComponent
        stringByAppendingPathComponent:[NSString stringWithFormat:@".%@.partial-%@",
                                                                  destination.lastPathComponent,
                                                                  NSUUID.UUID.UUIDString]];
    NSError* failure = nil;
    if (![files copyItemAtURL:[NSURL fileURLWithPath:from.toNSString()]
                        toURL:[NSURL fileURLWithPath:partial]
                        error:&failure]) {
        [files removeItemAtPath:partial error:nil];
        return errorFrom(failure);
    }
    if (renamex_np(partial.fileSystemRepresentation, destination.fileSystemRepresentation,
                   RENAME_EXCL) != 0) {
        const int code = errno;
        [files removeItemAtPath:partial error:nil];
        return errorFrom([NSError errorWithDomain:NSPOSIXErrorDomain code:code userInfo:nil]);
    }
    return std::nullopt;
}
