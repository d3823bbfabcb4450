#include "LineProcess.h"
#include "NotificationNames.h"
#include "PrivateBus.h"
#include "TestSupport.h"

#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QTest>
#include <csignal>

namespace {
const QString helperExecutable = QStringLiteral(KELMO_HELPER_EXECUTABLE);
const QString testAgent = QStringLiteral(KELMO_TEST_AGENT);
const QString willTerminateLine = QStringLiteral("$ Kelmo Helper: willTerminate");

QStringList logLinesOf(const QStringList& errors) {
    QStringList names;
    for (const QString& line : errors)
        if (line.startsWith(QStringLiteral("kelmo.notifications: name: ")))
            names << line.mid(27);
    return names;
}
} // namespace

class AgentLifecycleTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        bus = std::make_unique<PrivateBus>();
        QVERIFY2(bus->isRunning(), "dbus-daemon did not start");
        peer = std::make_unique<BusPeer>(bus->connection());
        peer->observe(
            {name(NotificationName::didFinishLaunching), name(NotificationName::willTerminate)});
    }
    void cleanup() {
        peer.reset();
        bus.reset();
    }

    void commandAnsweringTheAnnouncementIsServed() {
        // A peer that reacts to the announcement at once finds every command subscribed.
        peer->onArrival(name(NotificationName::didFinishLaunching),
                        [this] { peer->post(name(NotificationName::shouldTerminate)); });
        for (int round = 1; round <= 3; ++round) {
            LineProcess agent;
            agent.start(helperExecutable);
            QVERIFY(agent.waitForExit());
            QVERIFY(peer->waitFor(name(NotificationName::willTerminate), round));
            QCOMPARE(agent.exitCode(), 0);
            // Launch prints nothing: the farewell is the only line.
            QCOMPARE(agent.output(), QStringList{willTerminateLine});
            QCOMPARE(logLinesOf(agent.errors()),
                     QStringList{name(NotificationName::shouldTerminate)});
            QVERIFY(
                agent.errors().contains(QStringLiteral("kelmo.notifications: userinfo: (null)")));
        }
        QCOMPARE(peer->count(name(NotificationName::didFinishLaunching)), 3);
    }

    void ignoresItsOwnAnswersAndStrangers() {
        LineProcess agent;
        agent.start(helperExecutable);
        QVERIFY(peer->waitFor(name(NotificationName::didFinishLaunching)));
        for (const QString& other :
             {name(NotificationName::didFinishLaunching), name(NotificationName::didPaste),
              name(NotificationName::accessWasEnabled), name(NotificationName::willTerminate),
              QStringLiteral("co.ambertide.kelmo-helper.shouldterminate"),
              QStringLiteral("co.ambertide.kelmo-helper.shouldTerminateNow"),
              QStringLiteral("co.ambertide.kelmo-helper.shouldTermin"),
              QStringLiteral("co.ambertide.kelmo"), QString()})
            peer->post(other);
        QVERIFY(agent.isRunning());
        peer->post(name(NotificationName::shouldTerminate));
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.output(), QStringList{willTerminateLine});
        QCOMPARE(logLinesOf(agent.errors()), QStringList{name(NotificationName::shouldTerminate)});
        QVERIFY(peer->waitFor(name(NotificationName::willTerminate)));
    }

    void watchdogEndsTheAgentOnlyOnceTheMainApplicationIsGone() {
        const QString mainApp = name(BundleIdentifier::mainApplication);
        QVERIFY(bus->connection().registerService(mainApp));
        // Counts the agent's watchdog questions as the bus daemon sees them.
        LineProcess monitor;
        monitor.start(QStringLiteral("dbus-monitor"),
                      {QStringLiteral("--session"),
                       QStringLiteral("type='method_call',member='NameHasOwner'")});
        QVERIFY(monitor.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return monitor.output().size() > 0; }, 10000));

        LineProcess agent;
        agent.start(testAgent, {QStringLiteral("--watchdog-ms"), QStringLiteral("50")});
        const auto ticks = [&] {
            return monitor.output().count(QStringLiteral("   string \"co.ambertide.kelmo\""));
        };
        QVERIFY(QTest::qWaitFor([&] { return ticks() >= 5; }, 20000));
        QVERIFY(agent.isRunning());
        QCOMPARE(peer->count(name(NotificationName::willTerminate)), 0);

        QVERIFY(bus->connection().unregisterService(mainApp));
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.output(), QStringList{willTerminateLine});
        QVERIFY(peer->waitFor(name(NotificationName::willTerminate)));
    }

    void terminationSignalsEndItTheOrderlyWay_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void terminationSignalsEndItTheOrderlyWay() {
        QFETCH(int, signal);
        LineProcess agent;
        agent.start(helperExecutable);
        QVERIFY(peer->waitFor(name(NotificationName::didFinishLaunching)));
        ::kill(pid_t(agent.pid()), signal);
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.exitCode(), 0);
        QCOMPARE(agent.output(), QStringList{willTerminateLine});
        QVERIFY(peer->waitFor(name(NotificationName::willTerminate)));
    }

    void lostBusEndsTheAgent() {
        LineProcess agent;
        agent.start(helperExecutable);
        QVERIFY(peer->waitFor(name(NotificationName::didFinishLaunching)));
        bus->kill();
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.output(), QStringList{willTerminateLine});
    }

    void secondAgentLeavesTheFirstServing() {
        LineProcess first;
        first.start(helperExecutable);
        QVERIFY(peer->waitFor(name(NotificationName::didFinishLaunching)));

        LineProcess second;
        second.start(helperExecutable);
        QVERIFY(second.waitForExit());
        QCOMPARE(second.exitCode(), 1);
        QCOMPARE(second.output(), QStringList());
        QCOMPARE(second.errors().size(), 1);
        QVERIFY(second.errors().first().contains(QStringLiteral("another agent")));

        peer->post(name(NotificationName::shouldTerminate));
        QVERIFY(first.waitForExit());
        QVERIFY(peer->waitFor(name(NotificationName::willTerminate)));
        QCOMPARE(logLinesOf(first.errors()), QStringList{name(NotificationName::shouldTerminate)});
        // One announcement and one farewell: the second agent never spoke on the bus.
        QCOMPARE(peer->count(name(NotificationName::didFinishLaunching)), 1);
        QCOMPARE(peer->count(name(NotificationName::willTerminate)), 1);
    }

    void closedStandardOutputDoesNotKillIt() {
        LineProcess agent;
        agent.start(helperExecutable);
        QVERIFY(peer->waitFor(name(NotificationName::didFinishLaunching)));
        agent.process().closeReadChannel(QProcess::StandardOutput);
        // The farewell line now meets a closed pipe; the post after it must still go out.
        peer->post(name(NotificationName::shouldTerminate));
        QVERIFY(peer->waitFor(name(NotificationName::willTerminate)));
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.process().exitStatus(), QProcess::NormalExit);
    }

    void noSessionBusIsReported() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=/nonexistent/bus"));
        LineProcess agent;
        agent.start(helperExecutable, {}, env);
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.exitCode(), 1);
        QVERIFY(agent.errors().join(u'\n').contains(QStringLiteral("session bus")));
    }

    void slowRealWatchdogFirstChecksAfterAMinute() {
        if (qEnvironmentVariableIsEmpty("KELMO_SLOW_TESTS"))
            QSKIP("the real one-minute watchdog runs in the test labelled slow");
        QElapsedTimer clock;
        clock.start();
        LineProcess agent;
        agent.start(helperExecutable);
        QVERIFY(peer->waitFor(name(NotificationName::didFinishLaunching)));
        QVERIFY(agent.waitForExit(120000));
        QVERIFY2(clock.elapsed() >= 59000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(agent.output(), QStringList{willTerminateLine});
        QVERIFY(peer->waitFor(name(NotificationName::willTerminate)));
    }

private:
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<BusPeer> peer;
};

QTEST_GUILESS_MAIN(AgentLifecycleTest)
#include "tst_agentlifecycle.moc"
