#include "LineProcess.h"
#include "NotificationNames.h"
#include "PrivateBus.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <QTest>

namespace {
const QString helperExecutable = QStringLiteral(KELMO_HELPER_EXECUTABLE);
const QString testAgent = QStringLiteral(KELMO_TEST_AGENT);
const QString enabled = QStringLiteral("enabled");
const QString disabled = QStringLiteral("disabled");
const QString promptLine = QStringLiteral("Kelmo Helper: cannot send keystrokes: ");

// Proving that nothing more happens takes waiting; this is how long, in poll intervals.
constexpr int quietIntervals = 5;
} // namespace

class AccessTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        xvfb = std::make_unique<XvfbServer>();
        QVERIFY(xvfb->isRunning());
    }
    void init() {
        bus = std::make_unique<PrivateBus>();
        QVERIFY(bus->isRunning());
        peer = std::make_unique<BusPeer>(bus->connection());
        peer->observe({name(NotificationName::didFinishLaunching),
                       name(NotificationName::accessWasEnabled), name(NotificationName::didPaste)});
    }
    void cleanup() {
        peer.reset();
        bus.reset();
    }

    void withoutDisplayTheRealPollSaysDisabledEverySecond() {
        LineProcess agent;
        QVERIFY(start(agent, helperExecutable, XvfbServer::unusedDisplay()));
        peer->post(name(NotificationName::shouldStartCheckingForAccess));
        QVERIFY(agent.waitForLineCount(2, 10000));
        QCOMPARE(agent.output().mid(0, 2), QStringList({disabled, disabled}));
        // Polling is quiet otherwise: no prompt line, no answer.
        QVERIFY(agent.errors().filter(promptLine).isEmpty());
        QCOMPARE(peer->count(name(NotificationName::accessWasEnabled)), 0);
    }

    void displayAppearingEndsThePollOnce() {
        const QString display = XvfbServer::unusedDisplay();
        LineProcess agent;
        QVERIFY(start(agent, testAgent, display, 100));
        peer->post(name(NotificationName::shouldStartCheckingForAccess));
        QVERIFY(agent.waitForLine(disabled));

        XvfbServer appeared(display, {});
        QVERIFY(appeared.isRunning());
        QVERIFY(agent.waitForLine(enabled));
        QVERIFY(peer->waitFor(name(NotificationName::accessWasEnabled)));
        QTest::qWait(quietIntervals * 100);
        const QStringList lines = agent.output();
        QCOMPARE(lines.last(), enabled);
        QCOMPARE(lines.count(enabled), 1);
        QCOMPARE(lines.count(disabled), lines.size() - 1);
        QCOMPARE(peer->count(name(NotificationName::accessWasEnabled)), 1);
    }

    void twoStartCommandsMakeOnePoll() {
        LineProcess agent;
        QVERIFY(start(agent, testAgent, xvfb->display(), 200));
        peer->post(name(NotificationName::shouldStartCheckingForAccess));
        peer->post(name(NotificationName::shouldStartCheckingForAccess));
        QVERIFY(agent.waitForLine(enabled));
        QVERIFY(peer->waitFor(name(NotificationName::accessWasEnabled)));
        QTest::qWait(quietIntervals * 200);
        QCOMPARE(agent.output(), QStringList{enabled});
        QCOMPARE(peer->count(name(NotificationName::accessWasEnabled)), 1);
    }

    void requestWhileTrustedAnswersAtOnceAndStopsAFreshPoll() {
        LineProcess agent;
        QVERIFY(start(agent, testAgent, xvfb->display(), 300));
        peer->post(name(NotificationName::shouldStartCheckingForAccess));
        peer->post(name(NotificationName::shouldRequestAccess));
        QVERIFY(peer->waitFor(name(NotificationName::accessWasEnabled)));
        QTest::qWait(quietIntervals * 300);
        QCOMPARE(agent.output(), QStringList());
        QCOMPARE(peer->count(name(NotificationName::accessWasEnabled)), 1);
    }

    void requestWhileUntrustedSaysWhyAndStartsNothing_data() {
        QTest::addColumn<bool>("withServer");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no display") << false << QStringLiteral("cannot open the X display");
        QTest::newRow("no XTEST") << true << QStringLiteral("does not offer the XTEST extension");
    }
    void requestWhileUntrustedSaysWhyAndStartsNothing() {
        QFETCH(bool, withServer);
        QFETCH(QString, reason);
        std::unique_ptr<XvfbServer> withoutXTest;
        QString display = XvfbServer::unusedDisplay();
        if (withServer) {
            withoutXTest = std::make_unique<XvfbServer>(
                QStringList{QStringLiteral("-extension"), QStringLiteral("XTEST")});
            QVERIFY(withoutXTest->isRunning());
            display = withoutXTest->display();
        }
        LineProcess agent;
        QVERIFY(start(agent, testAgent, display, 100));
        peer->post(name(NotificationName::shouldRequestAccess));
        QVERIFY(
            QTest::qWaitFor([&] { return !agent.errors().filter(promptLine).isEmpty(); }, 10000));
        const QStringList prompt = agent.errors().filter(promptLine);
        QCOMPARE(prompt.size(), 1);
        QVERIFY2(prompt.first().contains(reason), qPrintable(prompt.first()));
        QTest::qWait(quietIntervals * 100);
        QCOMPARE(agent.output(), QStringList());
        QCOMPARE(peer->count(name(NotificationName::accessWasEnabled)), 0);
    }

    void pasteWithoutXTestStillClaimsIt() {
        XvfbServer withoutXTest({QStringLiteral("-extension"), QStringLiteral("XTEST")});
        QVERIFY(withoutXTest.isRunning());
        LineProcess agent;
        QVERIFY(start(agent, testAgent, withoutXTest.display(), 100));
        peer->post(name(NotificationName::shouldPaste));
        QVERIFY(peer->waitFor(name(NotificationName::didPaste)));
        QCOMPARE(agent.output(), QStringList({QStringLiteral("$ Kelmo Helper: paste()"),
                                              QStringLiteral("$ Kelmo Helper: didPaste")}));
    }

private:
    bool start(LineProcess& agent, const QString& program, const QString& display,
               int pollMs = 1000) {
        return startAgent(agent, *peer, program, display,
                          {QStringLiteral("--poll-ms"), QString::number(pollMs)});
    }

    std::unique_ptr<XvfbServer> xvfb;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<BusPeer> peer;
};

QTEST_GUILESS_MAIN(AccessTest)
#include "tst_access.moc"
