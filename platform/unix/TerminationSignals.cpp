#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Written by the signal handler, read on the main thread: the only async-signal-safe hand-over.
int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t signalled = 0;

void onSignal(int) {
    // The first request wakes the main thread; a flood of them after it must not fill the pipe,
    // which would block the handler, and with it whichever thread the signal interrupted.
    if (signalled)
        return;
    signalled = 1;
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}
} // namespace

bool terminationSignalled() {
    return signalled != 0;
}

void onTerminationSignal(std::function<void()> terminate) {
    // Darwin has no SOCK_NONBLOCK or SOCK_CLOEXEC: set both afterwards, on both ends.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    for (const int fd : signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    auto* notifier =
        new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [terminate] {
        std::array<char, 16> drain;
        while (::read(signalPipe[0], drain.data(), drain.size()) > 0) {
        }
        terminate();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}
