#include "TerminationRequests.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QObject>
#include <QSocketNotifier>
#include <array>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Written by the signal handler, read on the main thread: the only async-signal-safe hand-over.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// Qt delivers libdbus's local Disconnected signal to matching receivers when the bus goes away.
class BusLossWatcher final : public QObject {
    Q_OBJECT
public:
    explicit BusLossWatcher(std::function<void()> lost)
        : lost_(std::move(lost)) {}
public Q_SLOTS:
    void onDisconnected() { lost_(); }

private:
    std::function<void()> lost_;
};
} // namespace

void onTerminationRequest(std::function<void()> terminate) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
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

    auto* watcher = new BusLossWatcher(terminate);
    watcher->setParent(QCoreApplication::instance());
    QDBusConnection::sessionBus().connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                                          QStringLiteral("org.freedesktop.DBus.Local"),
                                          QStringLiteral("Disconnected"), watcher,
                                          SLOT(onDisconnected()));
}

#include "TerminationRequests.moc"
