#pragma once

#include "AppDelegate.h"
#include "SystemLog.h"

#include <string>

// Runs the agent until it is told to end; returns the process's exit code. `journal` and `syslog`
// are where the systemd journal and the syslog daemon listen.
int runAgent(int argc, char** argv, AgentIntervals intervals,
             const std::string& journal = SystemLog::journalSocket,
             const std::string& syslog = SystemLog::syslogSocket);
