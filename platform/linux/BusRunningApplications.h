#pragma once

#include "RunningApplications.h"

#include <QDBusConnection>
#include <optional>

// An application runs while its bundle identifier, as a well-known name, has an owner on the
// session bus.
class BusRunningApplications final : public RunningApplications {
public:
    explicit BusRunningApplications(QDBusConnection connection);
    bool isRunning(const QString& bundleIdentifier) override;
    bool isKnownNotRunning(const QString& bundleIdentifier) override;

private:
    // Whether the name has an owner; none when the daemon didn't answer in time.
    std::optional<bool> hasOwner(const QString& bundleIdentifier);
    QDBusConnection connection_;
};
