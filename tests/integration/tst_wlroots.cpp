#include "SwayDesktop.h"
#include "TestSupport.h"

#include <QStandardPaths>

using namespace Qt::StringLiterals;
using namespace NotificationName;

// On headless sway (wlroots) the agent types through a virtual keyboard of its own: granted at
// once, a Qt field's and a terminal's chord, a burst whole, a compositor stalled or dead survived.
class WlrootsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void typesThroughTheVirtualKeyboard() {
        if (!SwayDesktop::installed())
            QSKIP("sway, wtype or wl-clipboard is missing (scripts/install-deps installs them)");
        AgentBus f;
        SwayDesktop desktop({u"--keys"_s});
        QVERIFY2(desktop.isRunning(), qPrintable(desktop.whyNot()));
        LineProcess agent;
        QVERIFY(startAgent(agent, f.peer, testAgent, {u"--poll-ms"_s, u"100"_s},
                           desktop.environment()));
        askForAccess(f.peer);
        // Nothing to ask: the virtual keyboard is made at once.
        QVERIFY(f.peer.waitFor(accessWasEnabled));
        QVERIFY(!agent.output().contains(u"disabled"_s));
        const auto chords = [&] {
            return desktop.fieldLines().count(u"key: Ctrl+V"_s);
        };
        // Asks for `times` pastes; true once one more paste is answered.
        const auto pasteAnswered = [&](int times = 1) {
            const qsizetype pasted = f.peer.count(didPaste);
            f.peer.post(shouldPaste, times);
            return f.peer.waitFor(didPaste, pasted + 1);
        };

        // A burst: every chord arrives whole, nothing left pressed. Counted in keys, with the
        // clipboard empty: the pastes' own transfers are the toolkit's, not the agent's.
        QVERIFY(desktop.copy(QString()));
        const qsizetype before = chords();
        constexpr int burst = 1000;
        f.peer.post(shouldPaste, burst);
        QVERIFY(f.peer.waitFor(didPaste, burst, 60000));
        QVERIFY2(QTest::qWaitFor([&] { return chords() >= before + burst; }, 30000),
                 qPrintable(u"%1 of %2 chords, the field %3"_s.arg(chords() - before)
                                .arg(burst)
                                .arg(desktop.fieldState())));
        QTest::qWait(700);
        QCOMPARE(chords(), before + burst);

        // A stopped compositor holds at most the one chord written before it stopped reading;
        // the pastes asked for meanwhile fail in time, and none is typed later.
        const auto resume = qScopeGuard([&] { ::kill(pid_t(desktop.compositorPid()), SIGCONT); });
        const qsizetype answered = f.peer.count(didPaste);
        ::kill(pid_t(desktop.compositorPid()), SIGSTOP);
        f.peer.post(shouldPaste, 20);
        QVERIFY(agent.waitForErrors(u"cannot paste", 18, 20000));
        QVERIFY(f.peer.count(didPaste) <= answered + 2);
        ::kill(pid_t(desktop.compositorPid()), SIGCONT);
        const qsizetype claimed = f.peer.count(didPaste) - answered;
        QVERIFY(QTest::qWaitFor([&] { return chords() == before + burst + claimed; }));
        QVERIFY(pasteAnswered());
        QVERIFY(QTest::qWaitFor([&] { return chords() == before + burst + claimed + 1; }));
        QTest::qWait(300);
        QCOMPARE(chords(), before + burst + claimed + 1);

        // A terminal takes Control+Shift+V: the clipboard's text, not a ^V.
        if (!QStandardPaths::findExecutable(u"foot"_s).isEmpty()) {
            QTemporaryDir folder;
            const QString typed = folder.filePath(u"typed"_s);
            QProcessEnvironment env = desktop.environment();
            env.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
            LineProcess terminal;
            terminal.start(u"foot"_s, {u"sh"_s, u"-c"_s, u"exec cat > \"$0\""_s, typed}, env);
            QTRY_VERIFY_WITH_TIMEOUT(desktop.focusedApplication() == u"foot", 20000);
            QVERIFY(desktop.copy(u"in the terminal\n"_s));
            f.peer.post(shouldPaste);
            QTRY_COMPARE_WITH_TIMEOUT(readFile(typed), QByteArray("in the terminal\n"), 10000);

            // Back to the field, and a paste asked for at once, as the main application hides
            // and asks: the field's chord, though the compositor's word may still be unread.
            const qsizetype fieldChords = chords();
            QVERIFY(desktop.focus(u"demo-textfield"_s));
            f.peer.post(shouldPaste);
            QVERIFY(QTest::qWaitFor([&] { return chords() == fieldChords + 1; }));
            QCOMPARE(desktop.fieldLines().filter(u"Shift+V"_s), QStringList());
        }

        // The compositor dies mid-burst: the pastes left fail, trust is gone, the agent goes on.
        QVERIFY(pasteAnswered(300));
        desktop.killCompositor();
        QVERIFY(agent.waitForErrors(u"the typing session ended: the Wayland compositor"));
        f.peer.post(shouldStartCheckingForAccess);
        QVERIFY(agent.waitForLine(u"disabled"_s));
        f.peer.post(shouldPaste);
        QVERIFY(agent.waitForErrors(u"cannot paste"));

        // A new compositor is taken up at the next request.
        const QString socket = desktop.environment().value(u"WAYLAND_DISPLAY"_s);
        QVERIFY(desktop.restartCompositor());
        QCOMPARE(desktop.environment().value(u"WAYLAND_DISPLAY"_s), socket);
        f.peer.post(shouldRequestAccess);
        QVERIFY(f.peer.waitFor(accessWasEnabled, 2));
        QVERIFY(pasteAnswered());

        // One that stalls and is then killed leaves no stall behind for the next.
        ::kill(pid_t(desktop.compositorPid()), SIGSTOP);
        const qsizetype refused = agent.errors().filter(u"does not answer"_s).size();
        QVERIFY(QTest::qWaitFor(
            [&] {
                f.peer.post(shouldPaste);
                return agent.waitForErrors(u"does not answer", refused + 1, 1500);
            },
            20000));
        desktop.killCompositor();
        QVERIFY(desktop.restartCompositor());
        f.peer.post(shouldRequestAccess);
        QVERIFY(f.peer.waitFor(accessWasEnabled, 3));
        QVERIFY(pasteAnswered());
        QVERIFY(stopAgent(agent, f.peer));
    }
};

QTEST_GUILESS_MAIN(WlrootsTest)
#include "tst_wlroots.moc"
