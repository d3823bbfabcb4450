#include "XServerDeadline.h"

#include <csignal>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Read by the signal handler: the socket to cut, and whether it was.
volatile std::sig_atomic_t guarded = -1;
volatile std::sig_atomic_t cut = 0;

void onDeadline(int) {
    const int fd = guarded;
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
        cut = 1;
    }
}

// One timer for the process, whose signal goes to the thread that made it: the main thread, not
// Qt's bus thread.
timer_t* deadlineTimer() {
    static timer_t timer;
    static const bool made = [] {
        struct sigaction action = {};
        action.sa_handler = onDeadline;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGALRM, &action, nullptr);
        sigevent event = {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGALRM;
        event._sigev_un._tid = ::gettid();
        return ::timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    }();
    return made ? &timer : nullptr;
}

void arm(std::chrono::nanoseconds in) {
    if (timer_t* timer = deadlineTimer()) {
        itimerspec when = {};
        when.it_value.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(in).count();
        when.it_value.tv_nsec = (in % std::chrono::seconds(1)).count();
        ::timer_settime(*timer, 0, &when, nullptr);
    }
}
} // namespace

XServerDeadline::XServerDeadline(int fd, std::chrono::milliseconds limit) {
    cut = 0;
    guarded = fd;
    arm(limit);
}

XServerDeadline::~XServerDeadline() {
    arm(std::chrono::nanoseconds(0));
    guarded = -1;
}

bool XServerDeadline::expired() const {
    return cut != 0;
}
