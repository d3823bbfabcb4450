#pragma once

#include "AppDelegate.h"

// Runs the agent until it is told to end; returns the process's exit code.
int runAgent(int argc, char** argv, AgentIntervals intervals);
