#include "TestSupport.h"

#include <QDeadlineTimer>

using namespace Qt::StringLiterals;
using namespace NotificationName;

namespace {
const QString willTerminateLine = u"$ Kelmo Helper: willTerminate"_s;

// The names whose delivery the agent logged, in order.
QStringList deliveries(QStringList errors) {
    const QRegularExpression prefix(u"^kelmo\\.notifications: name: "_s);
    return errors.filter(prefix).replaceInStrings(prefix, QString());
}

// A stand-in for the systemd journal's socket: each datagram read as its fields.
class StandInJournal {
public:
    ~StandInJournal() { ::close(fd_); }
    void restart() {
        entries();
        ::close(fd_);
        QFile::remove(socketPath());
        fd_ = boundSocket(SOCK_DGRAM, socketPath());
    }
    QString socketPath() const { return folder_.filePath(u"journal"_s); }
    // Every entry so far, as PRIORITY + " " + MESSAGE; one not named for the agent as "unnamed".
    QStringList entries() {
        QByteArray datagram(65536, '\0');
        for (ssize_t size;
             (size = ::recv(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT)) > 0;) {
            QHash<QByteArray, QByteArray> fields;
            for (qsizetype at = 0, end; at < size; at = end + 1) {
                end = datagram.indexOf('\n', at);
                const QByteArray line = datagram.mid(at, end - at);
                if (const qsizetype equals = line.indexOf('='); equals > 0) {
                    fields.insert(line.left(equals), line.mid(equals + 1));
                } else { // the binary form: a little-endian length, then the bytes
                    quint64 length = 0;
                    std::memcpy(&length, datagram.constData() + end + 1, sizeof length);
                    fields.insert(line, datagram.mid(end + 9, qsizetype(length)));
                    end += 8 + qsizetype(length) + 1;
                }
            }
            const bool named = fields.value("SYSLOG_IDENTIFIER") == "Kelmo Helper";
            entries_ << (named ? QString::fromUtf8(fields["PRIORITY"] + ' ' + fields["MESSAGE"])
                               : u"unnamed"_s);
        }
        return entries_;
    }

private:
    QTemporaryDir folder_;
    int fd_ = boundSocket(SOCK_DGRAM, socketPath());
    QStringList entries_;
};

// A Post with `arguments`, sent to `destination` alone, or broadcast when that is empty.
QDBusMessage post(const QString& destination, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createTargetedSignal(
        destination, u"/co/ambertide/Notify"_s, u"co.ambertide.Notify"_s, u"Post"_s);
    message.setArguments(arguments);
    return message;
}
} // namespace

// The real agent on a private bus: how it starts, what it listens to, and every way it ends.
class AgentTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY2(f.emplace().bus.isRunning(), "dbus-daemon did not start"); }

    void watchdogEndsTheAgentOnlyOnceTheMainApplicationIsGone() {
        const QString mainApp = name(BundleIdentifier::mainApplication);
        QVERIFY(f->bus.connection().registerService(mainApp));
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, testAgent, {u"--watchdog-ms"_s, u"50"_s}));
        // Ten ticks find the main application.
        QTest::qWait(500);
        QVERIFY(agent.isRunning());
        // A bus stalled longer than a question may take leaves the answer unknown: no end.
        ::kill(pid_t(f->bus.pid()), SIGSTOP);
        QTest::qWait(6000);
        ::kill(pid_t(f->bus.pid()), SIGCONT);
        QTest::qWait(500);
        QVERIFY(agent.isRunning());
        QVERIFY(f->bus.connection().unregisterService(mainApp));
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.output(), QStringList{willTerminateLine});
        QVERIFY(f->peer.waitFor(willTerminate));
    }

    // Every way to end, also behind a flood of pastes: nothing acts after the end was decided,
    // the end comes at once, and the farewell is the last thing said, flushed.
    void endsAtOnceAndLast_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("signalNumber"); // to the agent; with "lost bus", to the bus
        QTest::addColumn<int>("pastes");
        QTest::newRow("shouldTerminate, pastes queued behind it") << u"command"_s << 0 << 2000;
        QTest::newRow("SIGTERM") << QString() << SIGTERM << 0;
        QTest::newRow("SIGINT") << QString() << SIGINT << 0;
        QTest::newRow("SIGHUP") << QString() << SIGHUP << 0;
        QTest::newRow("SIGTERM in a flood") << QString() << SIGTERM << 50000;
        QTest::newRow("standard output closed") << u"command, stdout closed"_s << 0 << 0;
        QTest::newRow("lost bus") << u"lost bus"_s << SIGKILL << 0; // as a crash would
    }
    void endsAtOnceAndLast() {
        QFETCH(QString, how);
        QFETCH(int, signalNumber);
        QFETCH(int, pastes);
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable));
        if (how.endsWith(u"stdout closed"))
            agent.process().closeReadChannel(QProcess::StandardOutput);
        if (how.startsWith(u"command"))
            f->peer.post(shouldTerminate);
        f->peer.post(shouldPaste, pastes);
        if (signalNumber)
            ::kill(pid_t(how == u"lost bus" ? f->bus.pid() : agent.pid()), signalNumber);
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.exitCode(), 0);
        if (how != u"lost bus")
            QVERIFY(f->peer.waitFor(willTerminate));
        if (how.endsWith(u"stdout closed"))
            return;
        QCOMPARE(agent.output().last(), willTerminateLine);
        const qsizetype typed = agent.output().count(u"$ Kelmo Helper: paste()"_s);
        QVERIFY2(how == u"command" ? typed == 0 : typed < pastes || pastes == 0,
                 qPrintable(QString::number(typed)));
    }

    // Every command is subscribed before the name is taken (a main application may post once it is
    // owned); a second agent leaves the first serving; a command is a broadcast Post of one string.
    void subscribedFirstOnceAndOnlyToBroadcastPosts() {
        LineProcess monitor, agent;
        monitor.start(u"dbus-monitor"_s,
                      {u"type='method_call',interface='org.freedesktop.DBus'"_s});
        QVERIFY(QTest::qWaitFor([&] { return !monitor.output().filter(u"NameLost").isEmpty(); }));
        QVERIFY(startAgent(agent, f->peer, helperExecutable));
        const QString agentId = name(BundleIdentifier::helper);
        const QString owner = f->bus.connection().interface()->serviceOwner(agentId);
        // Its calls, each on a line of its own with its first argument on the next.
        const QString call = u"sender=%1 [^\\n]*member="_s.arg(QRegularExpression::escape(owner));
        const QRegularExpression named(call + u"RequestName"_s);
        QVERIFY(QTest::qWaitFor([&] { return monitor.output().join(u'\n').contains(named); }));
        const QString calls = monitor.output().join(u'\n');
        const QRegularExpression subscribed(call + u"AddMatch\\n.*co\\.ambertide\\.Notify"_s);
        QCOMPARE(calls.left(calls.indexOf(named)).count(subscribed), 4);

        const Run second = run(helperExecutable);
        QCOMPARE(second.status, 1);
        QCOMPARE(second.output, QStringList());
        QCOMPARE(second.errors.size(), 1);
        QVERIFY(second.errors.first().contains(u"another agent"_s));

        const QString command = name(shouldTerminate), launched = name(didFinishLaunching),
                      farewell = name(willTerminate);
        for (const QString& other :
             {launched, farewell, command.toLower(), command + u'X', command.chopped(1), QString()})
            f->peer.post(other);
        for (const QDBusMessage& impostor :
             {post({}, {command, 1, command}), post({}, {QStringList{command}}),
              post(agentId, {command}), post(owner, {command})})
            QVERIFY(f->bus.connection().send(impostor));
        // Commands are handled in order: once this one shows, every impostor was seen.
        f->peer.post(shouldRequestAccess);
        QVERIFY(agent.waitForErrors(u"cannot send"));
        QVERIFY(stopAgent(agent, f->peer));
        QCOMPARE(deliveries(agent.errors()), QStringList({name(shouldRequestAccess), command}));
        // Announcement, the test's own two posts, farewell: the second agent never spoke.
        QVERIFY(f->peer.waitFor(willTerminate, 2));
        QCOMPARE(f->peer.received(), QStringList({launched, launched, farewell, farewell}));

        // A command answering the announcement is served; launch prints nothing.
        f->peer.onArrival(didFinishLaunching, [this] { f->peer.post(shouldTerminate); });
        for (int round = 1; round <= 3; ++round) {
            const Run served = run(helperExecutable);
            QVERIFY(f->peer.waitFor(willTerminate, 2 + round));
            QCOMPARE(served.status, 0);
            QCOMPARE(served.output, QStringList{willTerminateLine});
            QCOMPARE(deliveries(served.errors), QStringList{command});
            QVERIFY(served.errors.contains(u"kelmo.notifications: userinfo: (null)"_s));
        }
    }

    void withoutItsBusOrItsCommandsItExitsUnannounced() {
        // A daemon that allows each connection fewer match rules than the agent has commands.
        PrivateBus strict(u"<limit name=\"max_match_rules_per_connection\">3</limit>"_s);
        BusPeer peer(strict.connection());
        QVERIFY(peer.observe({didFinishLaunching}));
        PrivateBus stopped;
        ::kill(pid_t(stopped.pid()), SIGSTOP);
        const auto resume = qScopeGuard([&] { ::kill(pid_t(stopped.pid()), SIGCONT); });
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto& [address, reason] :
             {std::pair{u"unix:path=/nonexistent/bus"_s, u"session bus"_s},
              std::pair{stopped.address(), u"does not answer"_s},
              std::pair{strict.address(), u"cannot receive"_s}}) {
            env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, address);
            const Run agent = run(helperExecutable, {}, env);
            QCOMPARE(agent.status, 1);
            QVERIFY2(!agent.errors.filter(reason).isEmpty(), qPrintable(agent.errors.join(u'\n')));
            QCOMPARE(agent.output, QStringList());
            QVERIFY(!strict.connection().interface()->isServiceRegistered(
                name(BundleIdentifier::helper)));
            QCOMPARE(peer.count(didFinishLaunching), 0);
        }
    }

    // Named at start with what is missing; the agent still runs.
    void aChosenBackendThatIsNotThereIsNamed() {
        QProcessEnvironment env = environmentWithDisplay({});
        env.insert(u"WAYLAND_DISPLAY"_s, u"kelmo-test-no-such-compositor"_s);
        for (const auto& [backend, missing] :
             {std::pair{u"xtest"_s, QString()},
              std::pair{u"portal"_s, u" the session bus has no desktop portal;"_s},
              std::pair{u"wlroots"_s, u" no virtual keyboard can be made:"_s}}) {
            const QString said = u"KELMO_INPUT_BACKEND=%1, but%2"_s.arg(backend, missing);
            env.insert(u"KELMO_INPUT_BACKEND"_s, backend);
            LineProcess agent;
            QVERIFY(startAgent(agent, f->peer, helperExecutable, {}, env));
            QVERIFY(agent.waitForErrors(u"KELMO_INPUT_BACKEND"));
            const QStringList errors = agent.errors().filter(u"KELMO_INPUT_BACKEND"_s);
            QCOMPARE(errors.size(), 1);
            QVERIFY2(errors[0].contains(said) && !errors[0].endsWith(u"but "_s) &&
                         (backend == u"wlroots" || !errors[0].contains(u"virtual keyboard"_s)),
                     qPrintable(errors[0]));
            QVERIFY(stopAgent(agent, f->peer));
        }
    }

    // Standard error on a pipe (as the installer and the bus start it): the journal logs too.
    void logReachesTheJournalSummarisedUnderAFlood() {
        StandInJournal journal;
        LineProcess agent;
        QVERIFY(
            startAgent(agent, f->peer, testAgent, {u"--journal-socket"_s, journal.socketPath()}));
        f->peer.post(shouldPaste);
        QVERIFY(agent.waitForErrors(u"cannot paste"));
        const QString why = agent.errors().filter(u"cannot paste").first().section(u": "_s, 1);
        const QStringList onePaste{u"7 kelmo.notifications: name: "_s + name(shouldPaste),
                                   u"7 kelmo.notifications: userinfo: (null)"_s, u"3 "_s + why};
        QTRY_COMPARE(journal.entries(), onePaste);
        // journald restarts: the agent's lines find the new one.
        journal.restart();
        f->peer.post(shouldPaste);
        QVERIFY(agent.waitForErrors(u"cannot paste", 2));
        QTRY_COMPARE(journal.entries(), onePaste + onePaste);

        f->peer.post(shouldPaste, 3000);
        // Each kind has its allowance within the window, then one count of what was left out, also
        // on standard error (a file or a service manager may keep it); the next window's lines are
        // logged again (read as they come: the socket holds a few datagrams only).
        const QRegularExpression summary(
            u"^(?:6 |Kelmo Helper: )(\\d+) (log|error) lines left out after (200|500) in 10 s$"_s);
        const auto loggedAgain = [&] { // QStringList's search matches whole entries
            const QStringList entries = journal.entries();
            const qsizetype counted = entries.lastIndexOf(summary);
            return counted >= 0 && entries.indexOf(QRegularExpression(u"3 .*"_s), counted) > 0;
        };
        QVERIFY(QTest::qWaitFor(
            [&] { return f->peer.post(shouldPaste), QTest::qWaitFor(loggedAgain, 500); }, 30000));
        QVERIFY(stopAgent(agent, f->peer));
        QCOMPARE_GT(agent.errors().filter(u"cannot paste").size(), 500);
        QVERIFY(!journal.entries().contains(u"unnamed"_s));
        QCOMPARE_LE(journal.entries().size(), 2 * (200 + 500 + 2));
        for (const QStringList& lines : {agent.errors(), journal.entries()}) {
            QCOMPARE(lines.filter(summary).size(), 2);
            for (const QString& line : lines.filter(summary))
                QVERIFY2(summary.match(line).captured(1).toInt() > 2000, qPrintable(line));
        }
    }

    // Without a journal the syslog daemon's socket gets the lines, dropped once it stops reading.
    void aSyslogDaemonThatStopsReadingHoldsNothingUp() {
        QTemporaryDir folder;
        const QString path = folder.filePath(u"log"_s);
        const int daemon = boundSocket(SOCK_DGRAM, path);
        const auto closeDaemon = qScopeGuard([daemon] { ::close(daemon); });
        LineProcess agent;
        QVERIFY(startAgent(
            agent, f->peer, testAgent,
            {u"--journal-socket"_s, folder.filePath(u"no-journal"_s), u"--syslog-socket"_s, path}));
        f->peer.post(shouldPaste, 3000);
        QVERIFY(stopAgent(agent, f->peer));
        QByteArray datagram(4096, '\0');
        datagram = datagram.left(::recv(daemon, datagram.data(), datagram.size(), MSG_DONTWAIT));
        QVERIFY2(QString::fromUtf8(datagram).contains(QRegularExpression(
                     u"^<15>Kelmo Helper\\[\\d+\\]: kelmo.notifications: name: "_s)),
                 datagram.constData());
    }

    void slowRealWatchdogFirstChecksAfterAMinute() {
        if (qEnvironmentVariableIsEmpty("KELMO_SLOW_TESTS"))
            QSKIP("the real one-minute watchdog runs in the test labelled slow");
        const QDeadlineTimer minute(59000, Qt::PreciseTimer);
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable));
        QVERIFY(agent.waitForExit(120000));
        QCOMPARE(minute.remainingTime(), 0); // not before a minute
        QCOMPARE(agent.output(), QStringList{willTerminateLine});
        QVERIFY(f->peer.waitFor(willTerminate));
    }

private:
    std::optional<AgentBus> f;
};

QTEST_GUILESS_MAIN(AgentTest)
#include "tst_agent.moc"
