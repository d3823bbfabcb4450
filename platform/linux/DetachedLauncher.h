#pragma once

#include "ApplicationLauncher.h"

// Starts Contents/MacOS/<CFBundleExecutable> of a bundle in a session of its own, its standard
// streams on /dev/null, as a desktop launcher does: it outlives the starter and never writes
// into the starter's terminal. A bundle with a CFBundleIdentifier becomes startable by that name
// on the session bus. A bundle that is a link, or that another user owns or may change (its folder
// included), is not started.
class DetachedLauncher final : public ApplicationLauncher {
public:
    // Starting a process is over at once here: `launched` is called before this returns.
    void launchApplication(const QString& bundlePath, Launched launched) override;
    // None when the bundle started; otherwise why not.
    static std::optional<Error> start(const QString& bundlePath);
};
