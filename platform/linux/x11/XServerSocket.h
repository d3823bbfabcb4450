#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <xcb/xcb.h>

struct xauth;

// The way to an X server, opened by hand rather than by xcb_connect, so that every step of it is
// bounded and the socket is known to the deadline that guards the connection's setup.
namespace XServerSocket {

// A socket connected to display `number` on `host` (empty or "unix": this machine's socket),
// within `patience`; -1 with errno set otherwise (ETIMEDOUT when the server didn't take it).
int open(const std::string& host, int number, std::chrono::milliseconds patience);

// The user's MIT-MAGIC-COOKIE-1 for the server at the other end of `fd`, looked up in the
// Xauthority file as libxcb looks it up; none when the file has none.
class Authorisation {
public:
    Authorisation(int fd, int number);
    ~Authorisation();
    Authorisation(const Authorisation&) = delete;
    Authorisation& operator=(const Authorisation&) = delete;
    xcb_auth_info_t* info() { return entry_ ? &info_ : nullptr; }

private:
    xauth* entry_ = nullptr;
    xcb_auth_info_t info_{};
};

} // namespace XServerSocket
