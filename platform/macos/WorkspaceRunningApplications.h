#pragma once

#include "RunningApplications.h"

class WorkspaceRunningApplications final : public RunningApplications {
public:
    bool isRunning(const QString& bundleIdentifier) override;
};
