#pragma once

#include "Error.h"

#include <QString>
#include <functional>
#include <optional>

// Starts an application bundle as the user's desktop would: on its own, outliving the starter.
class ApplicationLauncher {
public:
    // None when the bundle started; otherwise why it could not be started.
    using Launched = std::function<void(std::optional<Error>)>;

    ApplicationLauncher() = default;
    ApplicationLauncher(const ApplicationLauncher&) = delete;
    ApplicationLauncher& operator=(const ApplicationLauncher&) = delete;
    virtual ~ApplicationLauncher() = default;

    // Calls `launched` once, on the main thread, when the outcome is known: a desktop may take
    // its time to start a bundle, and the window must go on answering meanwhile. It may be called
    // before this returns.
    virtual void launchApplication(const QString& bundlePath, Launched launched) = 0;
};
