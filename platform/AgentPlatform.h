#pragma once

#include "AccessibilityTrust.h"
#include "KeyboardEvents.h"
#include "RunningApplications.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

// What the agent needs of the desktop it serves.
struct AgentPlatform {
    std::unique_ptr<RunningApplications> runningApplications;
    std::unique_ptr<KeyboardEventPoster> keyboard;
    std::unique_ptr<AccessibilityTrust> trust;
    // What changes the session for everyone (a script loaded into the compositor, a virtual
    // keyboard): run only once this process is the one agent, so that a second agent, which
    // exits at once, leaves the first one's alone. May be empty.
    std::function<void()> begin;
};

// Readies the process for the platform's main loop; call before the application object exists.
void prepareAgentProcess();

// Joins the user's session; none, with the reason in `whyNot`, when there is no session to join.
// Call after the application object exists.
std::optional<AgentPlatform> makeAgentPlatform(QString& whyNot);
// Makes this process the one agent of the session for the rest of its run; false, with the reason
// in `whyNot`, when another agent is already. Peers may take the claim as the sign that commands
// are heard: call it after subscribing to them, and before the event loop runs, so that a process
// that loses acts on nothing.
bool becomeTheOnlyAgent(QString& whyNot);
