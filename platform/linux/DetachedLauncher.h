#pragma once

#include "ApplicationLauncher.h"

// Starts Contents/MacOS/<CFBundleExecutable> of a bundle in a session of its own, its standard
// streams on /dev/null, as a desktop launcher does: it outlives the starter and never writes
// into the starter's terminal. A bundle with a CFBundleIdentifier becomes startable by that name
// on the session bus.
class DetachedLauncher final : public ApplicationLauncher {
public:
    std::optional<Error> launchApplication(const QString& bundlePath) override;
};
