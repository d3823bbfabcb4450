#include "BusRunningApplications.h"

#include <QDBusConnectionInterface>

BusRunningApplications::BusRunningApplications(QDBusConnection connection)
    : connection_(std::move(connection)) {}

bool BusRunningApplications::isRunning(const QString& bundleIdentifier) {
    QDBusConnectionInterface* bus = connection_.interface();
    return bus && bus->isServiceRegistered(bundleIdentifier).value();
}
