#include "PosixFileManager.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>

namespace {
const QString posixDomain = QStringLiteral("NSPOSIXErrorDomain");

Error posixError(int code, const QString& what) {
    return {posixDomain, code,
            QStringLiteral("%1: %2.").arg(what, QString::fromLocal8Bit(std::strerror(code)))};
}

QString quoted(const QString& path) {
    return QStringLiteral("“%1”").arg(path);
}

// A name beside `to` that nobody else uses, so that a copy in progress never stands where the
// finished item belongs.
QString temporarySibling(const QString& to) {
    const QFileInfo target(to);
    std::random_device random;
    return target.absolutePath() + QStringLiteral("/.%1.partial-%2")
                                       .arg(target.fileName())
                                       .arg(random() & 0xffffff, 6, 16, QLatin1Char('0'));
}
} // namespace

std::optional<QString> PosixFileManager::applicationSupportDirectory(Error& error) {
    const QString directory = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (directory.isEmpty()) {
        error = {posixDomain, ENOENT,
                 QStringLiteral("Your data folder can't be found: neither XDG_DATA_HOME nor "
                                "HOME names one.")};
        return std::nullopt;
    }
    return directory;
}

bool PosixFileManager::fileExistsAtPath(const QString& path) {
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0;
}

std::optional<Error> PosixFileManager::createDirectoryAtPath(const QString& path) {
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0)
        return std::nullopt;
    return posixError(errno, QStringLiteral("The folder %1 couldn't be created").arg(quoted(path)));
}

std::optional<Error> PosixFileManager::copyItem(const QString& from, const QString& to) {
    namespace fs = std::filesystem;
    const fs::path source = QFile::encodeName(from).toStdString();
    const fs::path destination = QFile::encodeName(to).toStdString();
    const QString what = QStringLiteral("%1 couldn't be copied to %2")
                             .arg(quoted(QFileInfo(from).fileName()), quoted(QFileInfo(to).path()));
    std::error_code status;
    if (!fs::exists(fs::symlink_status(source, status)))
        return posixError(ENOENT, what);
    if (fs::exists(fs::symlink_status(destination, status)))
        return posixError(EEXIST, what);

    const fs::path partial = QFile::encodeName(temporarySibling(to)).toStdString();
    // Keeps modes, so the bundle's executable stays executable; special files are refused.
    fs::copy(source, partial, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             status);
    // Moved into place only whole, and never over something that appeared meanwhile.
    if (!status && ::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, destination.c_str(),
                               RENAME_NOREPLACE) != 0)
        status = std::error_code(errno, std::generic_category());
    if (!status)
        return std::nullopt;
    std::error_code ignored;
    fs::remove_all(partial, ignored);
    return posixError(status.value(), what);
}
