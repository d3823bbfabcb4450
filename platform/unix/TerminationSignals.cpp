#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <array>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Written by the signal handler, read on the main thread: the only async-signal-safe hand-over.
int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t signalled = 0;

void onSignal(int) {
    signalled = 1;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}
} // namespace

bool terminationSignalled() {
    return signalled != 0;
}

void onTerminationSignal(std::function<void()> terminate) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto* notifier =
        new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [terminate] {
        std::array<char, 16> drain;
        [[maybe_unused]] const auto got = ::read(signalPipe[0], drain.data(), drain.size());
        terminate();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}
