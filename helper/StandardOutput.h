#pragma once

#include <QString>
#include <string_view>

// One line on standard output, flushed at once: whoever reads the agent through a pipe sees each
// line as it happens.
void printLine(std::string_view line);

// One line on standard error, prefixed with the program's name: why a command could not be done.
void printErrorLine(const QString& message);
