#pragma once

#include <QString>
#include <string>

// Where the agent's log and error lines go besides standard error. An agent started by the
// installer or by the bus has its standard error on /dev/null or nowhere a user looks: then the
// system log keeps them, the systemd journal where one runs (identifier "Kelmo Helper"; the
// notification log at debug priority, errors at error priority), else syslog.
namespace SystemLog {

inline const std::string journalSocket = "/run/systemd/journal/socket";

// From now on, when standard error is no terminal and does not already lead to the journal, Qt's
// log messages and error lines also reach the system log, through `journal` when it listens.
// Debug lines are summarised under a flood. On macOS, where Qt's own handler already writes its
// log to the unified log, only the error lines are added, through syslog.
void open(const std::string& journal = journalSocket);

// One line on standard error, prefixed with the program's name, and in the system log at error
// priority: why something could not be done.
void printErrorLine(const QString& message);

} // namespace SystemLog
