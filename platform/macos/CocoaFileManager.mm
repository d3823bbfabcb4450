#include "CocoaFileManager.h"

#include "PartialCopies.h"
#include "Quarantine.h"
#include "RegularFile.h"

#import <Foundation/Foundation.h>
#include <cerrno>
#include <cstdio>

namespace {
Error errorFrom(NSError* error) {
    return {QString::fromNSString(error.domain), int(error.code),
            QString::fromNSString(error.localizedDescription)};
}

Error posixError(int code) {
    return errorFrom([NSError errorWithDomain:NSPOSIXErrorDomain code:code userInfo:nil]);
}
} // namespace

std::optional<QString> CocoaFileManager::applicationSupportDirectory(Error& error) {
    @autoreleasepool {
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
}

bool CocoaFileManager::fileExistsAtPath(const QString& path) {
    @autoreleasepool {
        return [NSFileManager.defaultManager fileExistsAtPath:path.toNSString()];
    }
}

std::optional<Error> CocoaFileManager::createDirectoryAtPath(const QString& path) {
    @autoreleasepool {
        NSError* failure = nil;
        if ([NSFileManager.defaultManager createDirectoryAtPath:path.toNSString()
                                    withIntermediateDirectories:NO
                                                     attributes:nil
                                                          error:&failure])
            return std::nullopt;
        return errorFrom(failure);
    }
}

namespace {
// Copies `from` beside `to` under a partial name, with no group or world write, and renames it to
// `to` with `flags` (RENAME_EXCL: never replace; RENAME_SWAP: replace in one step). The copy
// stands beside the destination and takes its place only whole.
std::optional<Error> copyIntoPlace(const QString& from, const QString& to, unsigned flags) {
    @autoreleasepool {
        NSFileManager* files = NSFileManager.defaultManager;
        NSString* destination = to.toNSString();
        const std::string target = destination.fileSystemRepresentation;
        const PartialCopies::FolderLock lock(
            destination.stringByDeletingLastPathComponent.fileSystemRepresentation);
        PartialCopies::removeAbandonedCopies(target);
        const std::string partial = PartialCopies::partialPathFor(target);
        NSString* partialPath = [files stringWithFileSystemRepresentation:partial.c_str()
                                                                   length:partial.size()];
        NSError* failure = nil;
        if (![files copyItemAtURL:[NSURL fileURLWithPath:from.toNSString()]
                            toURL:[NSURL fileURLWithPath:partialPath]
                            error:&failure]) {
            PartialCopies::removeTree(partial);
            return errorFrom(failure);
        }
        // The copy keeps the source's quarantine mark when the installer was downloaded. The user
        // let the installer run, and this payload is sealed inside its signature; a quarantined
        // copy would be judged again on its own, and Gatekeeper refuses an unnotarized agent.
        int status = Quarantine::clear(partial);
        // The copy keeps the source's modes; a loosely unpacked source must not leave a program
        // that others may change.
        if (status == 0)
            status = PartialCopies::restrictModes(partial, PartialCopies::allowedModes());
        if (status == 0 && renamex_np(partial.c_str(), target.c_str(), flags) != 0)
            status = errno;
        // After a swap the partial name holds the old tree; after a failure, the copy.
        PartialCopies::removeTree(partial);
        if (status == 0)
            return std::nullopt;
        return posixError(status);
    }
}
} // namespace

std::optional<Error> CocoaFileManager::copyItem(const QString& from, const QString& to) {
    return copyIntoPlace(from, to, RENAME_EXCL);
}

std::optional<Error> CocoaFileManager::replaceItem(const QString& from, const QString& to) {
    return copyIntoPlace(from, to, RENAME_SWAP);
}

QString CocoaFileManager::bundleVersion(const QString& bundle) {
    @autoreleasepool {
        // Read afresh (NSBundle caches what it once read of a path), and without waiting: the
        // installed bundle lies in a folder the user may write, where a FIFO would hang the
        // window. Real ones are about a kilobyte.
        constexpr qint64 largestInfoPlist = 1024 * 1024;
        QString whyNot;
        const std::optional<QByteArray> content = RegularFile::read(
            bundle + QStringLiteral("/Contents/Info.plist"), largestInfoPlist, whyNot);
        if (!content)
            return {};
        id info = [NSPropertyListSerialization propertyListWithData:content->toNSData()
                                                            options:NSPropertyListImmutable
                                                             format:nullptr
                                                              error:nil];
        id version = [info isKindOfClass:NSDictionary.class] ? info[@"CFBundleVersion"] : nil;
        return [version isKindOfClass:NSString.class] ? QString::fromNSString(version) : QString();
    }
}
