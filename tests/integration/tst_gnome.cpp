#include "BusDeadline.h"
#include "GnomeDesktop.h"
#include "ShellExtension.h"
#include "TestSupport.h"

#include <QStandardPaths>
#include <limits>

using namespace Qt::StringLiterals;
using namespace NotificationName;

// On a real headless GNOME Shell the agent types through its Shell extension: no dialog, each
// application's chord, a burst whole, nobody else let in, and the extension switched off or the
// Shell gone mid-burst survived. The desktop is started once, for every case in order.
class GnomeTest : public QObject {
    Q_OBJECT
    QTemporaryDir services;
    std::unique_ptr<AgentBus> f;
    std::unique_ptr<GnomeDesktop> desktop;
    LineProcess agent;

    qsizetype chords() { return desktop->fieldLines().count(u"key: Ctrl+V"_s); }
    qsizetype lines(const QString& line) { return agent.output().count(line); }
    qsizetype failures() { return agent.errors().filter(u"cannot paste"_s).size(); }

private Q_SLOTS:
    void initTestCase() {
        if (!GnomeDesktop::installed())
            QSKIP("gnome-shell is not installed (scripts/install-deps installs "
                  "them)");
        f = std::make_unique<AgentBus>(GnomeDesktop::busPolicy() +
                                       GnomeDesktop::portalServices(services.path()));
        desktop = std::make_unique<GnomeDesktop>(QStringList{u"--keys"_s});
        QVERIFY2(desktop->isRunning(), qPrintable(desktop->whyNot()));
        QVERIFY(startAgent(agent, f->peer, testAgent, {u"--poll-ms"_s, u"100"_s},
                           desktop->environment()));
        askForAccess(f->peer);
        QVERIFY(f->peer.waitFor(accessWasEnabled));
        QVERIFY(!agent.output().contains(u"disabled"_s));
    }

    void pastesIntoEachApplicationWithItsChord() {
        QVERIFY(desktop->copy(u"from the clipboard"_s));
        f->peer.post(shouldPaste);
        QVERIFY(desktop->waitForFieldLine(u"from the clipboard"_s));

        // A burst, counted in keys with the clipboard empty: whole, none doubled.
        QVERIFY(desktop->copy(QString()));
        const qsizetype before = chords();
        const qsizetype answered = f->peer.count(didPaste);
        constexpr int burst = 500;
        f->peer.post(shouldPaste, burst);
        QVERIFY(f->peer.waitFor(didPaste, answered + burst, 60000));
        QVERIFY2(QTest::qWaitFor([&] { return chords() >= before + burst; }, 30000),
                 qPrintable(u"%1 of %2 chords; the field's last lines: %3"_s.arg(chords() - before)
                                .arg(burst)
                                .arg(desktop->fieldLines()
                                         .mid(desktop->fieldLines().size() - 5)
                                         .join(u", "_s))));
        QTest::qWait(500);
        QCOMPARE(chords(), before + burst);

        // A terminal takes Control+Shift+V: the clipboard's text, not a ^V.
        if (QStandardPaths::findExecutable(u"foot"_s).isEmpty())
            return;
        QTemporaryDir folder;
        const QString typed = folder.filePath(u"typed"_s);
        QProcessEnvironment env = desktop->environment();
        env.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
        LineProcess terminal;
        terminal.start(u"foot"_s, {u"sh"_s, u"-c"_s, u"exec cat > \"$0\""_s, typed}, env);
        QVERIFY(desktop->focus(u"foot"_s));
        QVERIFY(desktop->copy(u"in the terminal\n"_s));
        f->peer.post(shouldPaste);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(typed), QByteArray("in the terminal\n"), 10000);
        QVERIFY(desktop->focus(u"demo-textfield"_s));
    }

    // The extension types for the agent's name alone: the bus contract grants no process more.
    void anyoneElseIsRefused() {
        const qsizetype before = chords();
        QDBusMessage paste = QDBusMessage::createMethodCall(
            u"org.gnome.Shell"_s, u"/co/ambertide/KelmoHelper/Shell"_s,
            u"co.ambertide.KelmoHelper.Shell"_s, u"Paste"_s);
        paste << u"Control+V"_s;
        paste << qint64(std::numeric_limits<qint64>::max());
        const QDBusMessage refused = f->bus.connection().call(paste);
        QCOMPARE(refused.errorName(), u"org.freedesktop.DBus.Error.AccessDenied"_s);
        // Nor does it tell anyone else which window is focused, as GNOME itself does not.
        const QDBusMessage focused = f->bus.connection().call(QDBusMessage::createMethodCall(
            u"org.gnome.Shell"_s, u"/co/ambertide/KelmoHelper/Shell"_s,
            u"co.ambertide.KelmoHelper.Shell"_s, u"FocusedApplication"_s));
        QCOMPARE(focused.errorName(), u"org.freedesktop.DBus.Error.AccessDenied"_s);
        f->peer.post(shouldPaste);
        QVERIFY(QTest::qWaitFor([&] { return chords() == before + 1; }));
        QTest::qWait(300);
        QCOMPARE(chords(), before + 1);
    }

    void switchedOffAndOnAgain() {
        QVERIFY(desktop->setExtensionEnabled(false));
        const qsizetype disabled = lines(u"disabled"_s);
        f->peer.post(shouldStartCheckingForAccess);
        QVERIFY(QTest::qWaitFor([&] { return lines(u"disabled"_s) > disabled; }));
        const qsizetype before = chords();
        const qsizetype failed = failures();
        f->peer.post(shouldPaste);
        QVERIFY(QTest::qWaitFor([&] { return failures() > failed; }));
        // Asking again switches it on, as the installer's second step does.
        const qsizetype enabled = lines(u"enabled"_s);
        askForAccess(f->peer);
        QVERIFY(QTest::qWaitFor([&] { return lines(u"enabled"_s) > enabled; }));
        QVERIFY(desktop->focus(u"demo-textfield"_s));
        f->peer.post(shouldPaste);
        QVERIFY(QTest::qWaitFor([&] { return chords() == before + 1; }));
    }

    // A Shell that stops answering types nothing once it goes on: the pastes asked meanwhile
    // fail in time, and the chord it was sent comes after its time.
    void shellStalled() {
        const qsizetype before = chords();
        const qsizetype pasted = f->peer.count(didPaste);
        const qsizetype failed = failures();
        const pid_t shell = pid_t(desktop->shellPid());
        const auto resume = qScopeGuard([&] { ::kill(shell, SIGCONT); });
        ::kill(shell, SIGSTOP);
        f->peer.post(shouldPaste, 20);
        QVERIFY(QTest::qWaitFor([&] { return failures() - failed == 20; }, 20000));
        QVERIFY(agent.errors().last().contains(u"does not answer"_s));
        ::kill(shell, SIGCONT);
        QVERIFY(desktop->focus(u"demo-textfield"_s));
        QTest::qWait(300);          // the one it was sent, if it types it now
        QCOMPARE(chords(), before); // the chord it held came after its time
        f->peer.post(shouldPaste);
        QVERIFY(f->peer.waitFor(didPaste, pasted + 1));
        QVERIFY(QTest::qWaitFor([&] { return chords() == before + 1; }));
        QTest::qWait(300);
        QCOMPARE(chords(), before + 1);
        QCOMPARE(f->peer.count(didPaste), pasted + 1);
    }

    // The Shell dies mid-burst: every paste is answered, those not typed fail, none is typed
    // into a later Shell, and a new Shell is taken up at the next request without restarting
    // the agent.
    void shellGoneMidBurst() {
        const qsizetype pasted = f->peer.count(didPaste);
        const qsizetype failed = failures();
        constexpr int burst = 300;
        f->peer.post(shouldPaste, burst);
        QVERIFY(f->peer.waitFor(didPaste, pasted + 1));
        desktop->killShell();
        const auto answered = [&] {
            return f->peer.count(didPaste) - pasted + failures() - failed;
        };
        QVERIFY(QTest::qWaitFor([&] { return answered() == burst; }, 20000));
        QVERIFY(failures() > failed);
        const qsizetype disabled = lines(u"disabled"_s);
        f->peer.post(shouldStartCheckingForAccess);
        QVERIFY(QTest::qWaitFor([&] { return lines(u"disabled"_s) > disabled; }));

        const qsizetype enabled = lines(u"enabled"_s);
        QVERIFY2(desktop->restartShell(), qPrintable(desktop->whyNot()));
        QVERIFY(QTest::qWaitFor([&] { return lines(u"enabled"_s) > enabled; }));
        QCOMPARE(answered(), burst); // none answered twice, none late
        const qsizetype claimed = f->peer.count(didPaste);
        f->peer.post(shouldPaste);
        QVERIFY(f->peer.waitFor(didPaste, claimed + 1));
        QVERIFY(QTest::qWaitFor([&] { return chords() == 1; }));
        QTest::qWait(300);
        QCOMPARE(chords(), 1); // the new field got nothing of the old burst
        QVERIFY(stopAgent(agent, f->peer));
    }

    // Where the Shell has not loaded the extension, GNOME's own portal types, after its dialog
    // ("Allow remote interaction" is off when it opens).
    void thePortalWithoutTheExtension() {
        if (!QFile::exists(u"/usr/share/dbus-1/services/"
                           "org.freedesktop.impl.portal.desktop.gnome.service"_s))
            QSKIP("xdg-desktop-portal-gnome is not installed");
        QTemporaryDir state;
        QProcessEnvironment env = desktop->environment();
        env.insert(u"KELMO_INPUT_BACKEND"_s, u"portal"_s);
        env.insert(u"XDG_STATE_HOME"_s, state.path());
        LineProcess portalAgent;
        QVERIFY(startAgent(portalAgent, f->peer, testAgent, {u"--poll-ms"_s, u"100"_s}, env));
        const qsizetype granted = f->peer.count(accessWasEnabled);
        askForAccess(f->peer);
        QVERIFY(desktop->focus(u"xdg-desktop-portal-gnome"_s));
        // The switch, then Share.
        QVERIFY(desktop->type({u"Return"_s, u"Tab"_s, u"Tab"_s, u"Tab"_s, u"Return"_s}));
        QVERIFY(f->peer.waitFor(accessWasEnabled, granted + 1, 20000));
        QVERIFY(desktop->focus(u"demo-textfield"_s));
        QVERIFY(desktop->copy(u"through the portal"_s));
        f->peer.post(shouldPaste);
        QVERIFY(desktop->waitForFieldLine(u"through the portal"_s));
        QVERIFY(stopAgent(portalAgent, f->peer));
    }

    // Installed during this login, the extension is not known to the Shell until the next one:
    // the installer says so, and the agent says why it types through the portal.
    void notLoadedUntilTheNextLogin() {
        desktop.reset();
        desktop = std::make_unique<GnomeDesktop>(QStringList{}, false);
        QVERIFY2(desktop->isRunning(), qPrintable(desktop->whyNot()));
        QTemporaryDir data;
        const QString installed =
            data.filePath(u"gnome-shell/extensions/"_s) + QLatin1String(ShellExtension::uuid);
        QVERIFY(QDir().mkpath(installed));
        QVERIFY(QFile::copy(GnomeDesktop::agentExtension() + u"/metadata.json"_s,
                            installed + u"/metadata.json"_s));
        const BusDeadline deadline(std::chrono::seconds(5));
        QVERIFY(!ShellExtension::awaitsNextLogin(f->bus.connection(), deadline));
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        QVERIFY(ShellExtension::awaitsNextLogin(f->bus.connection(), deadline));

        QProcessEnvironment env = desktop->environment();
        env.insert(u"XDG_DATA_HOME"_s, data.path());
        LineProcess portalAgent;
        QVERIFY(startAgent(portalAgent, f->peer, testAgent, {}, env));
        QVERIFY(portalAgent.waitForErrors(
            u"typing through the desktop portal, which asks at every start: the GNOME Shell "
            "extension kelmo-helper@ambertide.co is installed, but GNOME Shell has not loaded "
            "it yet"));
        QVERIFY(stopAgent(portalAgent, f->peer));
    }
};

QTEST_GUILESS_MAIN(GnomeTest)
#include "tst_gnome.moc"
