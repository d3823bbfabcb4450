#include "PrivateFiles.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace PrivateFiles {

int makeDirectories(const std::string& path) {
    std::size_t end = 0;
    do {
        end = path.find('/', end + 1);
        const std::string prefix = path.substr(0, end);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
    } while (end != std::string::npos);
    return 0;
}

int writeAtomically(const std::string& path, const std::string& contents, unsigned mode) {
    // A name of this process's own: two writers at once must not share, nor remove, each other's.
    const std::string partial = path + ".partial-" + std::to_string(::getpid());
    ::unlink(partial.c_str());
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    int status = 0;
    for (std::size_t done = 0; status == 0 && done < contents.size();) {
        const ssize_t put = ::write(fd, contents.data() + done, contents.size() - done);
        if (put < 0 && errno != EINTR)
            status = errno;
        done += put > 0 ? std::size_t(put) : 0;
    }
    // Whatever the umask: readers other than the owner rely on the mode asked for.
    if (status == 0 && ::fchmod(fd, mode_t(mode)) != 0)
        status = errno;
    if (status == 0 && ::fsync(fd) != 0)
        status = errno;
    if (::close(fd) != 0 && status == 0)
        status = errno;
    if (status == 0 && ::rename(partial.c_str(), path.c_str()) != 0)
        status = errno;
    if (status != 0)
        ::unlink(partial.c_str());
    return status;
}

} // namespace PrivateFiles
