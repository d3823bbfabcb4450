#pragma once

#include "ApplicationLauncher.h"

class WorkspaceLauncher final : public ApplicationLauncher {
public:
    std::optional<Error> launchApplication(const QString& bundlePath) override;
};
