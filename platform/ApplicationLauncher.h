#pragma once

#include "Error.h"

#include <QString>
#include <optional>

// Starts an application bundle as the user's desktop would: on its own, outliving the starter.
class ApplicationLauncher {
public:
    ApplicationLauncher() = default;
    ApplicationLauncher(const ApplicationLauncher&) = delete;
    ApplicationLauncher& operator=(const ApplicationLauncher&) = delete;
    virtual ~ApplicationLauncher() = default;

    // None on success; otherwise why the bundle could not be started.
    virtual std::optional<Error> launchApplication(const QString& bundlePath) = 0;
};
