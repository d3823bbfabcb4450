#pragma once

#include "AppDelegate.h"
#include "SystemLog.h"

#include <string>

// Runs the agent until it is told to end; returns the process's exit code. `journal` is where the
// systemd journal listens.
int runAgent(int argc, char** argv, AgentIntervals intervals,
             const std::string& journal = SystemLog::journalSocket);
