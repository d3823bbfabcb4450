#pragma once

#include "AccessibilityTrust.h"
#include "KeyboardEvents.h"
#include "RunningApplications.h"

#include <QString>
#include <memory>
#include <optional>

// What the agent needs of the desktop it serves.
struct AgentPlatform {
    std::unique_ptr<RunningApplications> runningApplications;
    std::unique_ptr<KeyboardEventPoster> keyboard;
    std::unique_ptr<AccessibilityTrust> trust;
};

// Readies the process for the platform's main loop; call before the application object exists.
void prepareAgentProcess();

// Joins the user's session as the one agent; none, with the reason in `whyNot`, when there is
// no session to join or another agent serves it already. Call after the application object
// exists.
std::optional<AgentPlatform> makeAgentPlatform(QString& whyNot);
