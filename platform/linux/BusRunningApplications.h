#pragma once

#include "RunningApplications.h"

#include <QDBusConnection>

// An application runs while its bundle identifier, as a well-known name, has an owner on the
// session bus.
class BusRunningApplications final : public RunningApplications {
public:
    explicit BusRunningApplications(QDBusConnection connection);
    bool isRunning(const QString& bundleIdentifier) override;

private:
    QDBusConnection connection_;
};
