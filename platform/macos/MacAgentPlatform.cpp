#include "AXAccessibilityTrust.h"
#include "AgentPlatform.h"
#include "CGEventKeyboard.h"
#include "WorkspaceRunningApplications.h"

std::optional<AgentPlatform> makeAgentPlatform(QString&) {
    // Launch Services keeps one instance of a bundle; the Darwin center needs no joining.
    return AgentPlatform{std::make_unique<WorkspaceRunningApplications>(),
                         std::make_unique<CGEventKeyboard>(),
                         std::make_unique<AXAccessibilityTrust>()};
}
