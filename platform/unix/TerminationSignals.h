#pragma once

#include <functional>

// Calls `terminate` on the main thread on SIGTERM, SIGINT and SIGHUP. Call once, after the
// application object exists.
void onTerminationSignal(std::function<void()> terminate);

// Whether one of those signals has arrived, also before the main thread got to hear of it.
bool terminationSignalled();
