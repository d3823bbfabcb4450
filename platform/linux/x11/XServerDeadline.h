#pragma once

#include <chrono>

// Bounds a call into libxcb or xkbcommon that waits on the X server with no bound of its own
// (the connection's setup, the keymap's requests): should the server not answer in time, a timer
// signal shuts the connection's socket down, and the waiting call returns with the connection in
// error. Main thread only.
class XServerDeadline {
public:
    XServerDeadline(int fd, std::chrono::milliseconds limit);
    ~XServerDeadline();
    XServerDeadline(const XServerDeadline&) = delete;
    XServerDeadline& operator=(const XServerDeadline&) = delete;

    // Whether the server took longer than allowed, and the connection was cut.
    bool expired() const;
};
