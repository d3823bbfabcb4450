#include "TestSupport.h"
#include "XvfbServer.h"

namespace {
const QString helperExecutable = QStringLiteral(KELMO_HELPER_EXECUTABLE);
const QString testAgent = QStringLiteral(KELMO_TEST_AGENT);
const QString enabled = QStringLiteral("enabled");
const QString disabled = QStringLiteral("disabled");
const QString promptLine = QStringLiteral("Kelmo Helper: cannot send keystrokes: ");
} // namespace

// Trust on X11, with the real agent: a display that opens and offers XTEST.
class AccessTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        f.emplace();
        QVERIFY(f->bus.isRunning());
    }
    void cleanup() { f.reset(); }

    void withoutDisplayTheRealPollSaysDisabledEverySecond() {
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable, XvfbServer::unusedDisplay()));
        f->peer.post(name(NotificationName::shouldStartCheckingForAccess));
        QVERIFY(agent.waitForLineCount(2, 10000));
        QCOMPARE(agent.output().mid(0, 2), QStringList({disabled, disabled}));
        // Polling is quiet otherwise: no prompt line, no answer.
        QVERIFY(agent.errors().filter(promptLine).isEmpty());
        QCOMPARE(f->peer.count(name(NotificationName::accessWasEnabled)), 0);
    }

    void displayAppearingEndsThePollOnce() {
        const QString display = XvfbServer::unusedDisplay();
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, testAgent, display,
                           {QStringLiteral("--poll-ms"), QStringLiteral("100")}));
        f->peer.post(name(NotificationName::shouldStartCheckingForAccess));
        QVERIFY(agent.waitForLine(disabled));

        XvfbServer appeared(display, {});
        QVERIFY(appeared.isRunning());
        QVERIFY(agent.waitForLine(enabled));
        QVERIFY(f->peer.waitFor(name(NotificationName::accessWasEnabled)));
        QTest::qWait(500);
        const QStringList lines = agent.output();
        QCOMPARE(lines.last(), enabled);
        QCOMPARE(lines.count(enabled), 1);
        QCOMPARE(lines.count(disabled), lines.size() - 1);
        QCOMPARE(f->peer.count(name(NotificationName::accessWasEnabled)), 1);
    }

    void untrustedSaysWhyOnRequestYetStillPastes_data() {
        QTest::addColumn<bool>("withServer");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no display") << false << QStringLiteral("cannot open the X display");
        QTest::newRow("no XTEST") << true << QStringLiteral("does not offer the XTEST extension");
    }
    void untrustedSaysWhyOnRequestYetStillPastes() {
        QFETCH(bool, withServer);
        QFETCH(QString, reason);
        std::optional<XvfbServer> withoutXTest;
        QString display = XvfbServer::unusedDisplay();
        if (withServer) {
            withoutXTest.emplace(
                QStringList{QStringLiteral("-extension"), QStringLiteral("XTEST")});
            QVERIFY(withoutXTest->isRunning());
            display = withoutXTest->display();
        }
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable, display));
        f->peer.post(name(NotificationName::shouldRequestAccess));
        f->peer.post(name(NotificationName::shouldPaste));
        QVERIFY(QTest::qWaitFor([&] { return !agent.errors().filter(promptLine).isEmpty(); }));
        const QStringList prompt = agent.errors().filter(promptLine);
        QCOMPARE(prompt.size(), 1);
        QVERIFY2(prompt.first().contains(reason), qPrintable(prompt.first()));
        // Without XTEST the paste goes nowhere, as on a system that hasn't granted trust, and is
        // claimed all the same; without a display there is nothing to claim.
        if (withServer) {
            QVERIFY(f->peer.waitFor(name(NotificationName::didPaste)));
        } else {
            QVERIFY(
                QTest::qWaitFor([&] { return !agent.errors().filter(u"cannot paste").isEmpty(); }));
            QVERIFY(!agent.output().contains(QStringLiteral("$ Kelmo Helper: didPaste")));
        }
        QCOMPARE(f->peer.count(name(NotificationName::accessWasEnabled)), 0);
    }

private:
    std::optional<AgentBus> f;
};

QTEST_GUILESS_MAIN(AccessTest)
#include "tst_access.moc"
