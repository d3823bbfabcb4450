#include "XServerSocket.h"

#include <X11/Xauth.h>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace XServerSocket {
namespace {
constexpr int firstTcpPort = 6000;
// Address families of the Xauthority file.
constexpr unsigned short familyInternet = 0;
constexpr unsigned short familyInternet6 = 6;

// Connects `fd` without blocking, then waits `patience` at most for the connection to be taken.
int finish(int fd, const sockaddr* address, socklen_t size, std::chrono::milliseconds patience) {
    if (::connect(fd, address, size) == 0)
        return fd;
    // A local server that stopped taking connections fills its backlog: EAGAIN.
    if (errno != EINPROGRESS) {
        const int why = errno == EAGAIN ? ETIMEDOUT : errno;
        ::close(fd);
        errno = why;
        return -1;
    }
    pollfd taken{fd, POLLOUT, 0};
    int status = 0;
    socklen_t length = sizeof status;
    if (::poll(&taken, 1, int(patience.count())) != 1 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &status, &length) != 0 || status != 0) {
        ::close(fd);
        errno = status ? status : ETIMEDOUT;
        return -1;
    }
    return fd;
}

int openLocal(int number, std::chrono::milliseconds patience) {
    // The abstract namespace first, then the file system, as libxcb looks for the socket.
    for (const bool abstract : {true, false}) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const int length = std::snprintf(address.sun_path + abstract, sizeof address.sun_path - 1,
                                         "/tmp/.X11-unix/X%d", number);
        const auto size = socklen_t(offsetof(sockaddr_un, sun_path) + abstract + length);
        if (finish(fd, reinterpret_cast<const sockaddr*>(&address), size, patience) >= 0)
            return fd;
        if (errno == ETIMEDOUT)
            return -1;
    }
    return -1;
}

int openTcp(const std::string& host, int number, std::chrono::milliseconds patience) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(firstTcpPort + number);
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        errno = EHOSTUNREACH;
        return -1;
    }
    int fd = -1;
    for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        const int attempt =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (attempt >= 0)
            fd = finish(attempt, a->ai_addr, a->ai_addrlen, patience);
    }
    ::freeaddrinfo(found);
    return fd;
}
} // namespace

int open(const std::string& host, int number, std::chrono::milliseconds patience) {
    return host.empty() || host == "unix" ? openLocal(number, patience)
                                          : openTcp(host, number, patience);
}

Authorisation::Authorisation(int fd, int number) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return;
    // This machine's servers are filed under its host name, remote ones under their address.
    unsigned short family = FamilyLocal;
    std::string address;
    if (peer.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
        if (ntohl(in->sin_addr.s_addr) >> 24 != 127) {
            family = familyInternet;
            address.assign(reinterpret_cast<const char*>(&in->sin_addr), 4);
        }
    } else if (peer.ss_family == AF_INET6) {
        const auto* in = reinterpret_cast<const sockaddr_in6*>(&peer);
        if (!IN6_IS_ADDR_LOOPBACK(&in->sin6_addr)) {
            family = familyInternet6;
            address.assign(reinterpret_cast<const char*>(&in->sin6_addr), 16);
        }
    }
    if (family == FamilyLocal) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        address = host;
    }
    const std::string display = std::to_string(number);
    char cookie[] = "MIT-MAGIC-COOKIE-1";
    char* types[] = {cookie};
    const int lengths[] = {int(sizeof cookie - 1)};
    entry_ =
        ::XauGetBestAuthByAddr(family, (unsigned short)address.size(), address.data(),
                               (unsigned short)display.size(), display.data(), 1, types, lengths);
    if (entry_)
        info_ = {entry_->name_length, entry_->name, entry_->data_length, entry_->data};
}

Authorisation::~Authorisation() {
    if (entry_)
        ::XauDisposeAuth(entry_);
}

} // namespace XServerSocket
