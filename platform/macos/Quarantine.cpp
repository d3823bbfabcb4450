#include "Quarantine.h"

#include <cerrno>
#include <fts.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace Quarantine {
namespace {
constexpr char mark[] = "com.apple.quarantine";

bool removed(const char* path) {
    // A file system without extended attributes has no mark to remove.
    return ::removexattr(path, mark, XATTR_NOFOLLOW) == 0 || errno == ENOATTR || errno == ENOTSUP;
}

int clearOne(const FTSENT& entry) {
    if (removed(entry.fts_path))
        return 0;
    const int failure = errno;
    if ((failure != EACCES && failure != EPERM) || S_ISLNK(entry.fts_statp->st_mode))
        return failure;
    // Copied read-only (Homebrew's libraries are): the mark goes only with write permission.
    const mode_t mode = entry.fts_statp->st_mode & 07777;
    if (::chmod(entry.fts_path, mode | S_IWUSR) != 0)
        return failure;
    const int status = removed(entry.fts_path) ? 0 : errno;
    ::chmod(entry.fts_path, mode);
    return status;
}
} // namespace

int clear(const std::string& path) {
    char* const roots[] = {const_cast<char*>(path.c_str()), nullptr};
    FTS* const tree = ::fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, nullptr);
    if (!tree)
        return errno;
    int status = 0;
    while (status == 0) {
        errno = 0;
        const FTSENT* const entry = ::fts_read(tree);
        if (!entry) {
            status = errno; // 0 at the end of the tree
            break;
        }
        switch (entry->fts_info) {
        case FTS_DP: // a folder's second visit, on the way out
            break;
        case FTS_DNR:
        case FTS_ERR:
        case FTS_NS:
            status = entry->fts_errno;
            break;
        default:
            status = clearOne(*entry);
        }
    }
    ::fts_close(tree);
    return status;
}

} // namespace Quarantine
