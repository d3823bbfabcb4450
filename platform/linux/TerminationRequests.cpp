#include "TerminationRequests.h"

#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QObject>

namespace {
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
    return terminationSignalled();
}

void onTerminationRequest(std::function<void()> terminate) {
    onTerminationSignal(terminate);
    // Without its bus the session is gone, and with it everyone who could ask for anything.
    auto* watcher = new BusLossWatcher(std::move(terminate));
    watcher->setParent(QCoreApplication::instance());
    QDBusConnection::sessionBus().connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                                          QStringLiteral("org.freedesktop.DBus.Local"),
                                          QStringLiteral("Disconnected"), watcher,
                                          SLOT(onDisconnected()));
}

#include "TerminationRequests.moc"
