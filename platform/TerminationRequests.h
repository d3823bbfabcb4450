#pragma once

#include <functional>

// Calls `terminate` on the main thread when the user or the system asks the process to end
// (SIGTERM, SIGINT, SIGHUP; on Linux also the loss of the session bus), so that it ends the same
// orderly way as on a command.
// Call once, after the application object exists.
void onTerminationRequest(std::function<void()> terminate);
