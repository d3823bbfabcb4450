// The agent with intervals a test can wait for, and a journal of the test's own:
// test-agent [--watchdog-ms N] [--poll-ms N] [--journal-socket PATH] [--syslog-socket PATH].
#include "AgentMain.h"

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    AgentIntervals intervals;
    std::string journal = SystemLog::journalSocket;
    std::string syslog = SystemLog::syslogSocket;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--watchdog-ms") == 0)
            intervals.watchdog = std::chrono::milliseconds(std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--poll-ms") == 0)
            intervals.accessPoll = std::chrono::milliseconds(std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--journal-socket") == 0)
            journal = argv[i + 1];
        else if (std::strcmp(argv[i], "--syslog-socket") == 0)
            syslog = argv[i + 1];
    }
    return runAgent(argc, argv, intervals, journal, syslog);
}
