#pragma once

#include <functional>

// Calls `terminate` on the main thread when the user or the system asks the process to end
// (SIGTERM, SIGINT, SIGHUP; on Linux also the loss of the session bus), so that it ends the same
// orderly way as on a command.
// Call once, after the application object exists.
void onTerminationRequest(std::function<void()> terminate);

// Whether the user or the system has asked the process to end, also when the main thread has not
// heard of it yet: a flood of queued work must not delay the end.
bool terminationRequested();
