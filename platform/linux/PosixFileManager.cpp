#include "PosixFileManager.h"

#include "InfoPlist.h"
#include "PartialCopies.h"
#include "PrivateFiles.h"
#include "TrustedPath.h"
#include "XdgFolders.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString posixDomain = QStringLiteral("NSPOSIXErrorDomain");

Error posixError(int code, const QString& what) {
    return {posixDomain, code,
            QStringLiteral("%1: %2.").arg(what, QString::fromLocal8Bit(std::strerror(code)))};
}

QString quoted(const QString& path) {
    return QStringLiteral("“%1”").arg(path);
}

std::string encoded(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

class Fd {
public:
    explicit Fd(int fd)
        : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

int systemRenameAt2(const char* from, const char* to, unsigned flags) {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
}

bool isDotOrDotDot(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

int copyFileContents(int in, int out) {
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0)
            return 0;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer.data() + done, std::size_t(got - done));
            if (put < 0 && errno != EINTR)
                return errno;
            done += put > 0 ? put : 0;
        }
    }
}

// Copies the entry at `from` to the new path `to`. Folders are filled while only the owner may
// enter them, and get their modes when whole; `allowed` masks every mode.
int copyEntry(const std::string& from, const std::string& to, mode_t allowed) {
    struct stat info;
    if (::lstat(from.c_str(), &info) != 0)
        return errno;
    const mode_t mode = info.st_mode & allowed;
    if (S_ISLNK(info.st_mode)) {
        // Some filesystems report no size for a link: a full buffer may have cut it short.
        std::string target(std::max<std::size_t>(std::size_t(info.st_size), PATH_MAX) + 1, '\0');
        const ssize_t length = ::readlink(from.c_str(), target.data(), target.size());
        if (length < 0)
            return errno;
        if (std::size_t(length) == target.size())
            return ENAMETOOLONG;
        target.resize(std::size_t(length));
        return ::symlink(target.c_str(), to.c_str()) == 0 ? 0 : errno;
    }
    if (S_ISDIR(info.st_mode)) {
        if (::mkdir(to.c_str(), 0700) != 0)
            return errno;
        DIR* dir = ::opendir(from.c_str());
        if (!dir)
            return errno;
        int status = 0;
        while (status == 0) {
            errno = 0;
            const dirent* entry = ::readdir(dir);
            if (!entry) {
                status = errno;
                break;
            }
            if (!isDotOrDotDot(entry->d_name))
                status = copyEntry(from + '/' + entry->d_name, to + '/' + entry->d_name, allowed);
        }
        ::closedir(dir);
        return status != 0 ? status : ::chmod(to.c_str(), mode) == 0 ? 0 : errno;
    }
    // Non-blocking, so that a pipe put in the file's place can't hang the copy.
    const Fd in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.get() < 0)
        return errno;
    if (::fstat(in.get(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return ENOTSUP;
    const Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0)
        return errno;
    if (const int status = copyFileContents(in.get(), out.get()))
        return status;
    if (::fchmod(out.get(), mode) != 0 || ::fsync(out.get()) != 0)
        return errno;
    return 0;
}

} // namespace

PosixFileManager::PosixFileManager(RenameAt2 rename)
    : rename_(rename ? rename : &systemRenameAt2) {}

std::optional<QString> PosixFileManager::applicationSupportDirectory(Error& error) {
    const std::optional<QString> directory = xdgDataHome();
    if (!directory) {
        error = {posixDomain, ENOENT,
                 QStringLiteral("Your data folder can't be found: neither XDG_DATA_HOME nor HOME "
                                "names one.")};
        return std::nullopt;
    }
    // A fresh account may not have one yet; it is created as the XDG base directories are.
    if (const int status = PrivateFiles::makeDirectories(encoded(*directory))) {
        error = posixError(
            status,
            QStringLiteral("Your data folder %1 couldn't be created").arg(quoted(*directory)));
        return std::nullopt;
    }
    return directory;
}

bool PosixFileManager::fileExistsAtPath(const QString& path) {
    struct stat info;
    return ::lstat(encoded(path).c_str(), &info) == 0;
}

std::optional<Error> PosixFileManager::createDirectoryAtPath(const QString& path) {
    // Whoever may write the folder could put another program where the installer launches one:
    // never group or world write, whatever the umask.
    if (::mkdir(encoded(path).c_str(), 0755) == 0)
        return std::nullopt;
    return posixError(errno, QStringLiteral("The folder %1 couldn't be created").arg(quoted(path)));
}

int PosixFileManager::renameNoReplace(const char* from, const char* to) {
    if (rename_(from, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // No rename flags on this filesystem (NFS, some FUSE ones). A plain rename replaces neither a
    // file nor a folder with anything in it, and a bundle is never empty: at worst a stray empty
    // folder that appeared since the check gives way.
    struct stat info;
    if (::lstat(to, &info) == 0)
        return EEXIST;
    return rename_(from, to, 0) == 0 ? 0 : errno;
}

std::optional<Error> PosixFileManager::copyItem(const QString& from, const QString& to) {
    const std::string source = encoded(from);
    const std::string destination = encoded(to);
    const QString what = QStringLiteral("%1 couldn't be copied to %2")
                             .arg(quoted(QFileInfo(from).fileName()), quoted(QFileInfo(to).path()));
    // A program put where another user may change it is no longer the user's own.
    if (const std::optional<QString> why = whyUntrusted(QFileInfo(to).path()))
        return Error{posixDomain, EPERM, QStringLiteral("%1: %2.").arg(what, *why)};
    const PartialCopies::FolderLock lock(encoded(QFileInfo(to).path()));
    struct stat info;
    if (::lstat(source.c_str(), &info) != 0)
        return posixError(errno, what);
    if (::lstat(destination.c_str(), &info) == 0)
        return posixError(EEXIST, what);
    PartialCopies::removeAbandonedCopies(destination);

    const std::string partial = PartialCopies::partialPathFor(destination);
    int status = copyEntry(source, partial, PartialCopies::allowedModes());
    if (status == 0)
        status = renameNoReplace(partial.c_str(), destination.c_str());
    if (status == 0)
        return std::nullopt;
    PartialCopies::removeTree(partial);
    return posixError(status, what);
}

std::optional<Error> PosixFileManager::replaceItem(const QString& from, const QString& to) {
    const std::string destination = encoded(to);
    const QString what = QStringLiteral("%1 couldn't be replaced with %2")
                             .arg(quoted(to), quoted(QFileInfo(from).fileName()));
    if (const std::optional<QString> why = whyUntrusted(QFileInfo(to).path()))
        return Error{posixDomain, EPERM, QStringLiteral("%1: %2.").arg(what, *why)};
    const PartialCopies::FolderLock lock(encoded(QFileInfo(to).path()));
    PartialCopies::removeAbandonedCopies(destination);
    const std::string partial = PartialCopies::partialPathFor(destination);
    int status = copyEntry(encoded(from), partial, PartialCopies::allowedModes());
    if (status == 0 && rename_(partial.c_str(), destination.c_str(), RENAME_EXCHANGE) != 0) {
        status = errno;
        if (status == EINVAL || status == ENOSYS) {
            // The old tree goes aside under a partial name of its own, which a later installer
            // clears away should this one be killed in between.
            const std::string aside = PartialCopies::partialPathFor(destination);
            status = rename_(destination.c_str(), aside.c_str(), 0) == 0 ? 0 : errno;
            if (status == 0 && rename_(partial.c_str(), destination.c_str(), 0) != 0) {
                status = errno;
                rename_(aside.c_str(), destination.c_str(), 0);
            }
            if (status == 0)
                PartialCopies::removeTree(aside);
        }
    }
    // After an exchange the partial name holds the old tree.
    PartialCopies::removeTree(partial);
    if (status == 0)
        return std::nullopt;
    return posixError(status, what);
}

QString PosixFileManager::bundleVersion(const QString& bundle) {
    return InfoPlist::topLevelString(bundle + QStringLiteral("/Contents/Info.plist"),
                                     u"CFBundleVersion");
}
