#pragma once

#include <QString>
#include <string>

// Where the agent's log and error lines go besides standard error. An agent started by the
// installer or by the bus has its standard error on /dev/null or nowhere a user looks: then the
// system log keeps them, the systemd journal where one runs (identifier "Kelmo Helper"; the
// notification log at debug priority, errors at error priority), else syslog.
namespace SystemLog {

inline const std::string journalSocket = "/run/systemd/journal/socket";
#ifdef __APPLE__
inline const std::string syslogSocket = "/var/run/syslog";
#else
inline const std::string syslogSocket = "/dev/log";
#endif

// From now on, when standard error is no terminal, Qt's log messages and error lines are
// summarised under a flood there (a file or a service manager keeps them), and, unless it leads
// to the journal already, also reach the system log: the journal at `journal` when it listens,
// else the syslog daemon at `syslog`, never waiting for either, and looked for again when it
// went away. On macOS, where Qt's own handler already writes its log to the unified log, only
// the error lines are added.
void open(const std::string& journal = journalSocket, const std::string& syslog = syslogSocket);

// One line on standard error, prefixed with the program's name, and in the system log at error
// priority: why something could not be done.
void printErrorLine(const QString& message);

} // namespace SystemLog
