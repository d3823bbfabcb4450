#pragma once

#include <string>
#include <sys/types.h>

// A bundle is copied beside its destination under a hidden name and renamed into place only
// whole. These are the pieces of that which every Unix shares.
namespace PartialCopies {

// Holds an exclusive lock on a folder while it lives, so that one installer at a time copies into
// it. Where the filesystem has no locks, nothing is held and copies go on as they are.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_;
};

// A fresh hidden name beside `destination` for a copy in progress.
std::string partialPathFor(const std::string& destination);
// Removes what installers killed mid-copy left beside `destination`. Call with the folder's lock
// held, so that no live copy is taken for a dead one.
void removeAbandonedCopies(const std::string& destination);
// Removes a tree, also where it holds folders without write permission, as a killed copy can.
void removeTree(const std::string& path);
// The permission bits an installed file may have: the user's umask applies, and neither group
// nor world may write or set ids, whatever the source's modes.
mode_t allowedModes();
// Narrows the modes of every file and folder under `path` to `allowed`; 0, or an errno value.
int restrictModes(const std::string& path, mode_t allowed);

} // namespace PartialCopies
