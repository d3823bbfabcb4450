#include "PartialCopies.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace PartialCopies {
namespace {
const char partialMark[] = ".partial-";

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isDotOrDotDot(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

template <typename Visit>
void forEachEntry(const std::string& folder, Visit visit) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir))
        if (!isDotOrDotDot(entry->d_name))
            names.emplace_back(entry->d_name);
    ::closedir(dir);
    for (const std::string& name : names)
        visit(name);
}
} // namespace

FolderLock::FolderLock(const std::string& folder)
    : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0)
        ::flock(fd_, LOCK_EX);
}

FolderLock::~FolderLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string partialPathFor(const std::string& destination) {
    std::random_device random;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%06x", unsigned(random() & 0xffffff));
    return folderOf(destination) + "/." + nameOf(destination) + partialMark + suffix;
}

void removeAbandonedCopies(const std::string& destination) {
    const std::string folder = folderOf(destination);
    const std::string start = '.' + nameOf(destination) + partialMark;
    forEachEntry(folder, [&](const std::string& name) {
        if (name.compare(0, start.size(), start) == 0)
            removeTree(folder + '/' + name);
    });
}

void removeTree(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0)
        return;
    if (!S_ISDIR(info.st_mode)) {
        ::unlink(path.c_str());
        return;
    }
    ::chmod(path.c_str(), 0700);
    forEachEntry(path, [&](const std::string& name) { removeTree(path + '/' + name); });
    ::rmdir(path.c_str());
}

mode_t allowedModes() {
    // Only a file this process creates at the same moment could be affected, and only the main
    // thread creates files.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0777 & ~mask & ~mode_t(S_IWGRP | S_IWOTH);
}

int restrictModes(const std::string& path, mode_t allowed) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0)
        return errno;
    if (S_ISLNK(info.st_mode))
        return 0;
    int status = 0;
    if (S_ISDIR(info.st_mode))
        forEachEntry(path, [&](const std::string& name) {
            if (status == 0)
                status = restrictModes(path + '/' + name, allowed);
        });
    if (status == 0 && ::chmod(path.c_str(), info.st_mode & allowed) != 0)
        status = errno;
    return status;
}

} // namespace PartialCopies
