#pragma once

#include <string_view>

// One line on standard output, flushed at once: whoever reads the agent through a pipe sees each
// line as it happens.
void printLine(std::string_view line);
