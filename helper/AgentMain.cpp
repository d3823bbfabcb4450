#include "AgentMain.h"

#include "BusRunningApplications.h"
#include "DarwinNotificationsManager.h"
#include "NotificationNames.h"
#include "NotifyCenter.h"
#include "StandardOutput.h"
#include "TerminationRequests.h"
#include "XTestAccessibilityTrust.h"
#include "XTestKeyboard.h"
#include "XcbDisplay.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <csignal>

int runAgent(int argc, char** argv, AgentIntervals intervals) {
    // A reader that went away must not take the agent with it; writes then just fail.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        printErrorLine(
            QStringLiteral("cannot connect to the session bus: %1").arg(bus.lastError().message()));
        return 1;
    }
    // Owning the name first makes sure one agent at most carries out each command.
    const QString helperId = QString::fromLatin1(BundleIdentifier::helper);
    if (bus.interface()
            ->registerService(helperId, QDBusConnectionInterface::DontQueueService,
                              QDBusConnectionInterface::DontAllowReplacement)
            .value() != QDBusConnectionInterface::ServiceRegistered) {
        printErrorLine(QStringLiteral("another agent already runs (it owns %1 on the session bus); "
                                      "this one exits")
                           .arg(helperId));
        return 1;
    }

    BusRunningApplications runningApplications(bus);
    XcbDisplay display;
    XTestKeyboard keyboard(display);
    XTestAccessibilityTrust trust(display);
    AppDelegate delegate(runningApplications, keyboard, trust, intervals);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });
    onTerminationRequest([] { QCoreApplication::quit(); });

    delegate.applicationDidFinishLaunching();
    const int status = app.exec();
    // The farewell was only queued; let it reach the bus before the process is gone.
    darwinNotifyCenter().flush();
    return status;
}
