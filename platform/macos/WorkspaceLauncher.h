#pragma once

#include "ApplicationLauncher.h"

// Launch Services through NSWorkspace; the outcome comes back on the main thread.
class WorkspaceLauncher final : public ApplicationLauncher {
public:
    void launchApplication(const QString& bundlePath, Launched launched) override;
};
