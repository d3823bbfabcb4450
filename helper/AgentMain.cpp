#include "AgentMain.h"

#include "AgentPlatform.h"
#include "NotifyCenter.h"
#include "StandardOutput.h"
#include "SystemLog.h"
#include "TerminationRequests.h"

#include <QCoreApplication>
#include <csignal>

int runAgent(int argc, char** argv, AgentIntervals intervals, const std::string& journal,
             const std::string& syslog) {
    // A reader that went away must not take the agent with it; writes then just fail.
    std::signal(SIGPIPE, SIG_IGN);
    prepareAgentProcess();
    QCoreApplication app(argc, argv);
    SystemLog::open(journal, syslog);

    QString whyNot;
    std::optional<AgentPlatform> platform = makeAgentPlatform(whyNot);
    if (!platform) {
        SystemLog::printErrorLine(whyNot);
        return 1;
    }
    AppDelegate delegate(*platform->runningApplications, *platform->keyboard, *platform->trust,
                         intervals);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });
    onTerminationRequest([&delegate] { delegate.terminate(); });

    // Subscribed before the name is taken: a peer that posts the moment the agent appears on the
    // bus is heard. A second agent loses the claim before its event loop runs and acts on nothing.
    if (!delegate.applicationDidFinishLaunching([&whyNot] {
            if (becomeTheOnlyAgent(whyNot))
                return true;
            SystemLog::printErrorLine(whyNot);
            return false;
        }))
        return 1;
    if (platform->begin)
        platform->begin();
    const int status = app.exec();
    // The farewell was only queued; let it reach the bus before the process is gone.
    darwinNotifyCenter().flush();
    return status;
}
