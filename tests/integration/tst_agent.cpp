#include "TestSupport.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <csignal>

namespace {
const QString helperExecutable = QStringLiteral(KELMO_HELPER_EXECUTABLE);
const QString testAgent = QStringLiteral(KELMO_TEST_AGENT);
const QString willTerminateLine = QStringLiteral("$ Kelmo Helper: willTerminate");
const QString pasteLine = QStringLiteral("$ Kelmo Helper: paste()");

// The names whose delivery the agent logged, in order.
QStringList deliveries(LineProcess& agent) {
    QStringList names;
    for (const QString& line : agent.errors())
        if (line.startsWith(QStringLiteral("kelmo.notifications: name: ")))
            names << line.mid(27);
    return names;
}

QDBusMessage postSignal(const QString& destination, const QVariantList& arguments) {
    const QString path = QStringLiteral("/co/ambertide/Notify");
    const QString interface = QStringLiteral("co.ambertide.Notify");
    QDBusMessage message = destination.isEmpty()
                               ? QDBusMessage::createSignal(path, interface, QStringLiteral("Post"))
                               : QDBusMessage::createTargetedSignal(destination, path, interface,
                                                                    QStringLiteral("Post"));
    message.setArguments(arguments);
    return message;
}
} // namespace

// The real agent on a private bus: how it starts, what it listens to, and every way it ends.
class AgentTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        f.emplace();
        QVERIFY2(f->bus.isRunning(), "dbus-daemon did not start");
    }
    void cleanup() { f.reset(); }

    void commandAnsweringTheAnnouncementIsServed() {
        f->peer.onArrival(name(NotificationName::didFinishLaunching),
                          [this] { f->peer.post(name(NotificationName::shouldTerminate)); });
        for (int round = 1; round <= 3; ++round) {
            LineProcess agent;
            agent.start(helperExecutable);
            QVERIFY(agent.waitForExit());
            QVERIFY(f->peer.waitFor(name(NotificationName::willTerminate), round));
            QCOMPARE(agent.exitCode(), 0);
            // Launch prints nothing: the farewell is the only line.
            QCOMPARE(agent.output(), QStringList{willTerminateLine});
            QCOMPARE(deliveries(agent), QStringList{name(NotificationName::shouldTerminate)});
            QVERIFY(
                agent.errors().contains(QStringLiteral("kelmo.notifications: userinfo: (null)")));
        }
    }

    void onlyBroadcastPostsOfOneStringAreCommands() {
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable));
        const QString terminate = name(NotificationName::shouldTerminate);
        for (const QString& other :
             {name(NotificationName::didFinishLaunching), name(NotificationName::willTerminate),
              QStringLiteral("co.ambertide.kelmo-helper.shouldterminate"), terminate + u'X',
              terminate.chopped(1), QString()})
            f->peer.post(other);
        QDBusConnection bus = f->bus.connection();
        const QString agentId = name(BundleIdentifier::helper);
        const QString uniqueName = bus.interface()->serviceOwner(agentId).value();
        for (const QDBusMessage& impostor :
             {postSignal({}, {terminate, 1, terminate}), postSignal({}, {QStringList{terminate}}),
              postSignal(agentId, {terminate}), postSignal(uniqueName, {terminate})})
            QVERIFY(bus.send(impostor));
        // Commands are handled in order: once this one shows, every impostor was seen.
        f->peer.post(name(NotificationName::shouldRequestAccess));
        QVERIFY(QTest::qWaitFor([&] { return !agent.errors().filter(u"cannot send").isEmpty(); }));
        QVERIFY(agent.isRunning());
        f->peer.post(terminate);
        QVERIFY(agent.waitForExit());
        QCOMPARE(deliveries(agent),
                 QStringList({name(NotificationName::shouldRequestAccess), terminate}));
    }

    void watchdogEndsTheAgentOnlyOnceTheMainApplicationIsGone() {
        const QString mainApp = name(BundleIdentifier::mainApplication);
        QVERIFY(f->bus.connection().registerService(mainApp));
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
        QCOMPARE(f->peer.count(name(NotificationName::willTerminate)), 0);

        QVERIFY(f->bus.connection().unregisterService(mainApp));
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.output(), QStringList{willTerminateLine});
        QVERIFY(f->peer.waitFor(name(NotificationName::willTerminate)));
    }

    // Every way to end, also behind a flood of pastes: nothing acts after the end was decided,
    // the end comes at once, and the farewell is the last thing said.
    void endsAtOnceAndLast_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("pastes");
        QTest::newRow("shouldTerminate") << 0 << 2000;
        for (const auto& [label, signal] :
             {std::pair{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}}) {
            QTest::addRow("%s", label) << signal << 0;
            QTest::addRow("%s in a flood", label) << signal << 50000;
        }
    }
    void endsAtOnceAndLast() {
        QFETCH(int, signal);
        QFETCH(int, pastes);
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable));
        if (signal == 0)
            f->peer.post(name(NotificationName::shouldTerminate));
        f->peer.post(name(NotificationName::shouldPaste), pastes);
        if (signal != 0)
            ::kill(pid_t(agent.pid()), signal);
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(f->peer.waitFor(name(NotificationName::willTerminate)));
        QCOMPARE(agent.output().last(), willTerminateLine);
        if (signal == 0)
            QCOMPARE(agent.output().count(pasteLine), 0);
        else
            QVERIFY(agent.output().count(pasteLine) < pastes || pastes == 0);
    }

    void lostBusEndsTheAgent() {
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable));
        f->bus.kill();
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.output(), QStringList{willTerminateLine});
    }

    void secondAgentLeavesTheFirstServing() {
        LineProcess first;
        QVERIFY(startAgent(first, f->peer, helperExecutable));
        LineProcess second;
        second.start(helperExecutable);
        QVERIFY(second.waitForExit());
        QCOMPARE(second.exitCode(), 1);
        QCOMPARE(second.output(), QStringList());
        QCOMPARE(second.errors().size(), 1);
        QVERIFY(second.errors().first().contains(QStringLiteral("another agent")));

        f->peer.post(name(NotificationName::shouldTerminate));
        QVERIFY(first.waitForExit());
        QVERIFY(f->peer.waitFor(name(NotificationName::willTerminate)));
        // One announcement and one farewell: the second agent never spoke on the bus.
        QCOMPARE(f->peer.count(name(NotificationName::didFinishLaunching)), 1);
        QCOMPARE(f->peer.count(name(NotificationName::willTerminate)), 1);
    }

    void closedStandardOutputDoesNotKillIt() {
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable));
        agent.process().closeReadChannel(QProcess::StandardOutput);
        // The farewell line now meets a closed pipe; the post after it must still go out.
        f->peer.post(name(NotificationName::shouldTerminate));
        QVERIFY(f->peer.waitFor(name(NotificationName::willTerminate)));
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.process().exitStatus(), QProcess::NormalExit);
    }

    void withoutItsBusOrItsCommandsItExitsUnannounced_data() {
        QTest::addColumn<QString>("busAddress");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no session bus")
            << QStringLiteral("unix:path=/nonexistent/bus") << QStringLiteral("session bus");
        QTest::newRow("subscription refused") << QString() << QStringLiteral("cannot receive");
    }
    void withoutItsBusOrItsCommandsItExitsUnannounced() {
        QFETCH(QString, busAddress);
        QFETCH(QString, reason);
        // A daemon that allows each connection fewer match rules than the agent has commands.
        PrivateBus strict(
            QStringLiteral("<limit name=\"max_match_rules_per_connection\">3</limit>"));
        BusPeer peer(strict.connection());
        QVERIFY(peer.observe({name(NotificationName::didFinishLaunching)}));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   busAddress.isEmpty() ? strict.address() : busAddress);
        LineProcess agent;
        agent.start(helperExecutable, {}, env);
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.exitCode(), 1);
        QVERIFY2(agent.errors().join(u'\n').contains(reason),
                 qPrintable(agent.errors().join(u'\n')));
        QCOMPARE(agent.output(), QStringList());
        QVERIFY(
            !strict.connection().interface()->isServiceRegistered(name(BundleIdentifier::helper)));
        QCOMPARE(peer.count(name(NotificationName::didFinishLaunching)), 0);
    }

    void slowRealWatchdogFirstChecksAfterAMinute() {
        if (qEnvironmentVariableIsEmpty("KELMO_SLOW_TESTS"))
            QSKIP("the real one-minute watchdog runs in the test labelled slow");
        QElapsedTimer clock;
        clock.start();
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable));
        QVERIFY(agent.waitForExit(120000));
        QVERIFY2(clock.elapsed() >= 59000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(agent.output(), QStringList{willTerminateLine});
        QVERIFY(f->peer.waitFor(name(NotificationName::willTerminate)));
    }

private:
    std::optional<AgentBus> f;
};

QTEST_GUILESS_MAIN(AgentTest)
#include "tst_agent.moc"
