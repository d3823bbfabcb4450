#include "TerminationRequests.h"

#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QObject>
#include <atomic>
#include <dbus/dbus.h>

namespace {
// Set on Qt's bus thread the moment the bus is lost: the main thread's own news of it waits
// behind every delivery already queued.
std::atomic<bool> busLost{false};

DBusHandlerResult watchForLoss(DBusConnection*, DBusMessage* message, void*) {
    if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected"))
        busLost = true;
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
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

bool terminationRequested() {
    return terminationSignalled() || busLost;
}

void onTerminationRequest(std::function<void()> terminate) {
    onTerminationSignal(terminate);
    // Without its bus the session is gone, and with it everyone who could ask for anything.
    if (auto* bus = static_cast<DBusConnection*>(QDBusConnection::sessionBus().internalPointer()))
        dbus_connection_add_filter(bus, &watchForLoss, nullptr, nullptr);
    auto* watcher = new BusLossWatcher(std::move(terminate));
    watcher->setParent(QCoreApplication::instance());
    QDBusConnection::sessionBus().connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                                          QStringLiteral("org.freedesktop.DBus.Local"),
                                          QStringLiteral("Disconnected"), watcher,
                                          SLOT(onDisconnected()));
}

#include "TerminationRequests.moc"
