#include "KeyRecorder.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTcpServer>

using namespace Qt::StringLiterals;
using namespace NotificationName;

namespace {
const QString pasteLine = u"$ Kelmo Helper: paste()"_s;
const QString didPasteLine = u"$ Kelmo Helper: didPaste"_s;

constexpr xcb_keysym_t XK_v = 0x76, XK_Shift_L = 0xffe1, XK_Control_L = 0xffe3;

// A text field that records each key press as its toolkit saw it: X keycode and modifiers.
struct Field final : QLineEdit {
    QList<std::pair<quint32, Qt::KeyboardModifiers>> presses;
    void keyPressEvent(QKeyEvent* event) override {
        presses << std::pair{event->nativeScanCode(), event->modifiers()};
        QLineEdit::keyPressEvent(event);
    }
};
} // namespace

// The paste and the permission on a real X server, as real X clients and a text field see them.
class PasteTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY(f.emplace().bus.isRunning()); }

    // A text field pastes on Control plus the key that gives "v" in any layout; where none does,
    // at the V position, not a paste to toolkits. The layout changes under an agent that pasted.
    void everyLayoutTypesAPaste_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<int>("group");
        QTest::newRow("Dvorak") << u"-layout us -variant dvorak"_s << 0;
        QTest::newRow("AZERTY") << u"-layout fr"_s << 0;
        QTest::newRow("Russian first, US second") << u"-layout ru,us"_s << 0;
        QTest::newRow("Dvorak first, US active") << u"-layout us,us -variant dvorak,"_s << 1;
        QTest::newRow("Russian alone") << u"-layout ru"_s << 0;
    }
    void everyLayoutTypesAPaste() {
        QFETCH(QString, layout);
        QFETCH(int, group);
        field_.show(), field_.activateWindow(), field_.setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(field_.hasFocus(), 10000);
        LineProcess agent;
        QVERIFY(startAgentOn(agent, display_));
        const auto restoreUs = qScopeGuard([&] { setLayout(u"-layout us"_s); });
        const bool noV = layout == u"-layout ru";
        quint32 vPosition = 0; // the key that typed "v" under US
        for (int paste = 1; paste <= 2; ++paste) {
            if (paste == 2) {
                QVERIFY(setLayout(layout));
                KeyRecorder(display_).lockGroup(group);
            }
            const QString text = u"paste %1 %2"_s.arg(paste).arg(layout);
            QApplication::clipboard()->setText(text);
            field_.clear(), field_.presses.clear();
            QVERIFY(pasted(paste));
            QTRY_COMPARE_WITH_TIMEOUT(field_.presses.size(), 2, 10000);
            QCOMPARE(field_.presses.last().second, Qt::ControlModifier);
            if (noV && paste == 2)
                QCOMPARE(field_.presses.last().first, vPosition);
            else
                QTRY_COMPARE_WITH_TIMEOUT(field_.text(), text, 10000);
            vPosition = field_.presses.last().first;
        }
    }

    // A display that takes the connection and never answers (a hung server behind ssh -X): each
    // paste fails in time, and the agent still ends on request.
    void silentXServerHoldsNothing() {
        QTcpServer silent;
        int display = 6100 + int(QCoreApplication::applicationPid() % 500);
        while (!silent.listen(QHostAddress::LocalHost, quint16(6000 + display)))
            ++display;
        LineProcess agent;
        QVERIFY(startAgentOn(agent, u"127.0.0.1:%1"_s.arg(display)));
        f->peer.post(shouldPaste, 3);
        QVERIFY(agent.waitForErrors(u"does not answer", 3));
        QVERIFY(stopAgent(agent, f->peer));
        QCOMPARE(agent.output().count(pasteLine), 3);
        QCOMPARE(agent.errors().filter(u"does not answer").size(), 3);
    }

    // Trust is the display opening with XTEST: the one-second poll says disabled, then enabled
    // once a display appears. Without one a paste is neither typed nor claimed; without XTEST a
    // request says what is missing, and a paste is claimed, as where trust isn't granted. Each
    // paste is Control+V alone, in order, also under a held Shift, held again after it. A stopped
    // server holds nothing: pastes fail, nothing piles up, the agent types again once it is back.
    void pastesFollowTheXServer() {
        const QString display = XvfbServer::unusedDisplay();
        LineProcess agent;
        QVERIFY(startAgentOn(agent, display));
        askForAccess(f->peer);
        f->peer.post(shouldPaste);
        QVERIFY(agent.waitForLine(u"disabled"_s));
        QCOMPARE(agent.errors().filter(u"cannot send keystrokes: cannot open the X display").size(),
                 1);
        QVERIFY(agent.errors().filter(u"cannot paste: cannot open the X display").size() == 1);
        QVERIFY(!agent.output().contains(didPasteLine));
        std::optional<XvfbServer> server(std::in_place, display);
        QVERIFY(server->isRunning());
        QVERIFY(agent.waitForLine(u"enabled"_s));
        QVERIFY(f->peer.waitFor(accessWasEnabled));
        QTest::qWait(1500);
        QCOMPARE(agent.output().count(u"enabled"_s), 1);
        QCOMPARE(agent.output().last(), u"enabled"_s);
        QCOMPARE(f->peer.count(accessWasEnabled), 1);

        server.reset();
        f->peer.post(shouldPaste);
        QVERIFY(agent.waitForErrors(u"cannot paste", 2));
        server.emplace(display, QStringList{u"-extension"_s, u"XTEST"_s});
        f->peer.post(shouldRequestAccess);
        QVERIFY(pasted(1));
        const QStringList prompts = agent.errors().filter(u"cannot send keystrokes");
        QCOMPARE(prompts.size(), 2);
        QVERIFY2(prompts.last().contains(u"does not offer the XTEST extension"),
                 qPrintable(prompts.last()));
        QCOMPARE(f->peer.count(accessWasEnabled), 1);

        server.emplace(display);
        KeyRecorder recorder(display);
        QVERIFY(recorder.takeFocus());
        QVERIFY(pasted(2));
        QVERIFY(recorder.waitForKeys(XK_v, 2));
        QCOMPARE(f->peer.count(didPaste), 2);
        recorder.fakeKey(XK_Shift_L, true);
        QVERIFY(pasted(3));
        QVERIFY(recorder.waitForKeys(XK_v, 4));
        QStringList keys; // with the modifiers held: 4 is Control alone
        for (const auto& key : recorder.keysOf(XK_v))
            keys << (key.press ? u"press %1"_s : u"release %1"_s).arg(key.state);
        QCOMPARE(keys, QStringList({u"press 4"_s, u"release 4"_s, u"press 4"_s, u"release 4"_s}));
        QVERIFY(recorder.isHeld(XK_Shift_L) && !recorder.isHeld(XK_Control_L));
        recorder.fakeKey(XK_Shift_L, false);
        QCOMPARE(agent.output().last(4),
                 QStringList({pasteLine, didPasteLine, pasteLine, didPasteLine}));

        // Continuing a running server changes nothing, so the guard may always do it.
        const auto resume = qScopeGuard([&] { ::kill(pid_t(server->pid()), SIGCONT); });
        const qsizetype tried = agent.output().count(pasteLine);
        const qsizetype answered = agent.output().count(didPasteLine);
        const qsizetype unanswered = agent.errors().filter(u"does not answer").size();
        ::kill(pid_t(server->pid()), SIGSTOP);
        f->peer.post(shouldPaste, 50);
        QTRY_COMPARE_WITH_TIMEOUT(agent.output().count(pasteLine), tried + 50, 20000);
        QVERIFY(agent.errors().filter(u"does not answer").size() >= unanswered + 49);
        // At most the one chord written before the server could be found stopped is claimed.
        const qsizetype claimed = agent.output().count(didPasteLine) - answered;
        QVERIFY(claimed <= 1);

        ::kill(pid_t(server->pid()), SIGCONT);
        // Until the server has answered again, pastes still fail at once.
        QVERIFY(pasteUntil(
            agent, [&] { return agent.output().count(didPasteLine) > answered + claimed; }));
        // Only the chord the server had not read when it stopped may be typed once it runs again.
        QVERIFY(recorder.waitForKeys(XK_v, 6));
        QTest::qWait(300);
        QVERIFY(recorder.keysOf(XK_v).size() <= 4 + 2 * (claimed + 1));

        // A flood of signals while it waits on the stopped server: the first one ends it.
        ::kill(pid_t(server->pid()), SIGSTOP);
        f->peer.post(shouldPaste, 3);
        for (int i = 0; i < 2000; ++i)
            ::kill(pid_t(agent.pid()), SIGTERM);
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.output().last(), u"$ Kelmo Helper: willTerminate"_s);
    }

    // Under a window manager the chord follows the active application: a terminal (st) pastes
    // the clipboard, not a ^V, also while the user holds Shift, which stays held; a window with
    // no class gets Control+V; the user's settings file applies from its next change on, and a
    // bad line in it is reported once with its number.
    void chordFollowsTheActiveApplication() {
        XvfbServer server;
        QVERIFY(server.isRunning());
        QProcessEnvironment env = environmentWithDisplay(server.display());
        LineProcess windowManager;
        QVERIFY(startOpenbox(windowManager, env));
        QVERIFY(shell(env, u"printf 'from the clipboard\\n' | xclip -selection clipboard"_s));
        QVERIFY(shell(env, u"printf 'from the primary selection\\n' | xclip -selection primary"_s));
        QTemporaryDir folder;
        env.insert(u"XDG_CONFIG_HOME"_s, folder.path()); // where the agent's settings file is
        const QString typed = folder.filePath(u"typed"_s);
        LineProcess terminal;
        const QString terminalWindow = startTerminal(terminal, typed, env);
        QVERIFY2(!terminalWindow.isEmpty(), qPrintable(terminal.errors().join(u'\n')));
        QVERIFY(activate(env, terminalWindow));
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable, {}, env));
        QVERIFY(pasted(1));
        const QByteArray clipboard = "from the clipboard\n";
        QTRY_COMPARE_WITH_TIMEOUT(readFile(typed), clipboard, 10000);

        KeyRecorder recorder(server.display());
        recorder.fakeKey(XK_Shift_L, true);
        QVERIFY(pasted(2));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(typed), clipboard + clipboard, 10000);
        QVERIFY(recorder.isHeld(XK_Shift_L) && !recorder.isHeld(XK_Control_L));
        recorder.fakeKey(XK_Shift_L, false);

        QVERIFY(recorder.takeFocus());
        QVERIFY(becomesActive(env, QString::number(recorder.window())));
        QVERIFY(pasted(3));
        QVERIFY(recorder.waitForKeys(XK_v, 2));
        QCOMPARE(recorder.keysOf(XK_v).first().state, std::uint16_t(4)); // Control alone

        const QString settings = folder.filePath(u"Kelmo/paste-keys"_s);
        writeFile(settings,
                  "# mine\ndefault = shift+insert\nst-256color = Shift+Insert\nnot a line\n");
        constexpr xcb_keysym_t XK_Insert = 0xff63;
        QVERIFY(pasteUntil(agent, [&] { return recorder.waitForKeys(XK_Insert, 1, 200); }));
        QCOMPARE(recorder.keysOf(XK_Insert).first().state, std::uint16_t(1)); // Shift alone
        QVERIFY(activate(env, terminalWindow));
        f->peer.post(shouldPaste);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(typed),
                                  clipboard + clipboard + "from the primary selection\n", 10000);

        // The window manager ends, the terminal still named active on the root: the chord
        // follows the input focus again, by class as well as instance (`urxvt -name scratch`).
        writeFile(settings, "st-256color = Shift+Insert\n");
        windowManager.process().kill();
        QVERIFY(windowManager.waitForExit());
        QVERIFY(becomesActive(env, terminalWindow));
        recorder.setClass("scratch", "URxvt");
        QVERIFY(recorder.takeFocus());
        const qsizetype controlV = recorder.keysOf(XK_v).size();
        QVERIFY(pasteUntil(agent, [&] { return recorder.waitForKeys(XK_v, controlV + 2, 200); }));
        QCOMPARE(recorder.keysOf(XK_v).last().state, std::uint16_t(4 | 8)); // Control+Alt

        QVERIFY(stopAgent(agent, f->peer));
        QCOMPARE(agent.errors().filter(u"paste-keys: line 4 "_s).size(), 1);
    }

    // The active window closes before the window manager names the next one: the chord is not
    // the closed window's, the input focus decides (a window manager here that never updates).
    void aClosedWindowLeavesNoChordBehind() {
        XvfbServer server;
        QVERIFY(server.isRunning());
        const QProcessEnvironment env = environmentWithDisplay(server.display());
        QVERIFY(shell(env, u"printf 'pasted\\n' | xclip -selection clipboard"_s));
        QTemporaryDir folder;
        const QString typed = folder.filePath(u"typed"_s);
        LineProcess terminal;
        const QString window = startTerminal(terminal, typed, env);
        QVERIFY(!window.isEmpty());
        // The root as its own window manager (`wmname`): active window changes still count.
        KeyRecorder recorder(server.display());
        recorder.nameActiveWindow(window.toUInt(), true);
        QVERIFY(shell(env, u"xdotool windowfocus --sync "_s + window));
        LineProcess agent;
        QVERIFY(startAgentOn(agent, server.display()));
        f->peer.post(shouldPaste);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(typed), QByteArray("pasted\n"), 10000);
        QVERIFY(recorder.takeFocus());
        recorder.nameActiveWindow(recorder.window(), true);
        f->peer.post(shouldPaste);
        QVERIFY(recorder.waitForKeys(XK_v, 2));
        QCOMPARE(recorder.keysOf(XK_v).last().state, std::uint16_t(4)); // Control alone

        recorder.nameActiveWindow(window.toUInt());
        QVERIFY(shell(env, u"xdotool windowfocus --sync "_s + window));
        f->peer.post(shouldPaste);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(typed), QByteArray("pasted\npasted\n"), 10000);

        terminal.process().kill();
        QVERIFY(terminal.waitForExit());
        QVERIFY(recorder.takeFocus());
        QVERIFY(pasted(4));
        QVERIFY(recorder.waitForKeys(XK_v, 4));
        QCOMPARE(recorder.keysOf(XK_v).last().state, std::uint16_t(4)); // Control alone
        QVERIFY(stopAgent(agent, f->peer));
    }

    // The real installer, driven by keys, installs and starts the agent (in a data folder however
    // odd its name), gets it the permission and ends; the agent serves on, and starts by name.
    void installerThreeStepsFromTheKeyboard() {
        QTemporaryDir home;
        const QString data = home.path() + u"/it's \"odd\" \\ $HOME %s"_s;
        QProcessEnvironment env = environmentWithDisplay(display_);
        env.insert(u"HOME"_s, home.path());
        env.insert(u"XDG_DATA_HOME"_s, data);
        env.insert(u"LC_ALL"_s, u"en_US.UTF-8"_s);
        // A new installer, its window focused, then `key` pressed as the user would.
        const auto launch = [&](LineProcess& installer, const QString& key) {
            installer.start(QStringLiteral(KELMO_INSTALLER_EXECUTABLE), {}, env);
            return shell(env,
                         u"xdotool search --sync --onlyvisible --name '^Kelmo.Helper.Installer$' "
                         "windowfocus --sync && xdotool key %1"_s.arg(key));
        };
        QVERIFY(f->peer.observe({shouldStartCheckingForAccess, shouldRequestAccess}));
        LineProcess installer;
        QVERIFY(launch(installer, u"Return"_s));
        QVERIFY(f->peer.waitFor(didFinishLaunching, 1, 20000));
        const QString folder = data + u"/Kelmo"_s;
        QCOMPARE(entries(folder), QStringList{u"Kelmo Helper.app"_s});
        // The agent that runs is the installed copy.
        const QString helperId = name(BundleIdentifier::helper);
        const auto pid = f->bus.connection().interface()->servicePid(helperId);
        QCOMPARE(QFileInfo(u"/proc/%1/exe"_s.arg(pid.value())).canonicalFilePath(),
                 QFileInfo(folder + u"/Kelmo Helper.app/Contents/MacOS/Kelmo Helper"_s)
                     .canonicalFilePath());
        // The watchdog ends an idle agent: "Allow typing" starts it again, and asks it once it
        // listens (posts are kept for no one).
        f->peer.post(shouldTerminate);
        QVERIFY(f->peer.waitFor(willTerminate));
        QTRY_VERIFY(!f->bus.connection().interface()->isServiceRegistered(helperId));
        QVERIFY(shell(env, u"xdotool key Return"_s));
        QVERIFY(f->peer.waitFor(didFinishLaunching, 2, 20000));
        QVERIFY(f->peer.waitFor(accessWasEnabled));
        // Step 3 may need a moment to show after the answer.
        bool ended = false;
        for (int attempt = 0; attempt < 3 && !ended; ++attempt)
            ended = shell(env, u"xdotool key Return"_s) && installer.waitForExit(5000);
        QVERIFY(ended);
        QCOMPARE(installer.exitCode(), 0);
        QCOMPARE(installer.output(), QStringList());
        f->peer.post(shouldTerminate);
        QVERIFY(f->peer.waitFor(willTerminate, 2));

        // A bus that reads the user's service files starts it by name, once.
        AgentBus activating(
            u"<servicedir>%1/dbus-1/services</servicedir>"_s.arg(data.toHtmlEscaped()));
        QCOMPARE(modeOf(data + u"/dbus-1/services/co.ambertide.kelmo-helper.service"_s),
                 mode_t(0644));
        QDBusConnectionInterface* daemon = activating.bus.connection().interface();
        const auto startByName = [&] { // 1: started it, 2: it ran already
            return QDBusReply<uint>(daemon->call(u"StartServiceByName"_s, helperId, 0u)).value();
        };
        QCOMPARE(startByName(), 1u);
        QVERIFY(activating.peer.waitFor(didFinishLaunching));
        QCOMPARE(startByName(), 2u);
        activating.peer.post(shouldTerminate);
        QVERIFY(activating.peer.waitFor(willTerminate));

        // Escape closes the window, which ends the installer.
        LineProcess another;
        QVERIFY(launch(another, u"Escape"_s));
        QVERIFY(another.waitForExit());
        QCOMPARE(another.exitCode(), 0);

        // A bus that doesn't answer: a box says so at once, and the installer ends.
        PrivateBus stopped;
        ::kill(pid_t(stopped.pid()), SIGSTOP);
        const auto resume = qScopeGuard([&] { ::kill(pid_t(stopped.pid()), SIGCONT); });
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, stopped.address());
        LineProcess refused;
        QVERIFY(launch(refused, u"Return"_s));
        QVERIFY(refused.waitForExit());
        QCOMPARE(refused.exitCode(), 1);
    }

private:
    // Posts shouldPaste; whether `claims` didPaste have arrived in all by then.
    bool pasted(qsizetype claims) {
        f->peer.post(shouldPaste);
        return f->peer.waitFor(didPaste, claims);
    }
    // Posts shouldPaste until `done`, each time first waiting for that paste to be claimed or to
    // fail: a change is taken a while after.
    bool pasteUntil(LineProcess& agent, const std::function<bool()>& done) {
        const auto outcomes = [&] {
            return agent.errors().filter(u"cannot paste").size() +
                   agent.output().count(didPasteLine);
        };
        return QTest::qWaitFor(
            [&] {
                const qsizetype before = outcomes();
                f->peer.post(shouldPaste);
                return QTest::qWaitFor([&] { return outcomes() > before; }) && done();
            },
            20000);
    }
    // `command` run by sh in `env`; whether it succeeded.
    static bool shell(const QProcessEnvironment& env, const QString& command) {
        const Run done = run(u"sh"_s, {u"-c"_s, command}, env);
        if (done.status != 0)
            qWarning() << command << done.status << done.errors;
        return done.status == 0;
    }
    // Whether the window manager names `window` active on the root within 10 s.
    static bool becomesActive(const QProcessEnvironment& env, const QString& window) {
        const QString check =
            u"xprop -root _NET_ACTIVE_WINDOW | grep -qi \"$(printf '%#x' %1)$\""_s;
        return QTest::qWaitFor([&] { return shell(env, check.arg(window)); }, 10000);
    }
    // Activated as a click would, and known active once the window manager says so.
    static bool activate(const QProcessEnvironment& env, const QString& window) {
        return shell(env, u"xdotool windowactivate "_s + window) && becomesActive(env, window);
    }
    // st, writing what it gets to `typed`; its window once it shows (within 30 s), or empty.
    static QString startTerminal(LineProcess& terminal, const QString& typed,
                                 const QProcessEnvironment& env) {
        terminal.start(u"st"_s, {u"-e"_s, u"sh"_s, u"-c"_s, u"exec cat > \"$0\""_s, typed}, env);
        const QStringList search = u"search --onlyvisible --class st-256color"_s.split(u' ');
        QString window;
        (void)QTest::qWaitFor(
            [&] { return !(window = run(u"xdotool"_s, search, env).output.value(0)).isEmpty(); },
            30000);
        return window;
    }
    bool startAgentOn(LineProcess& agent, const QString& display) {
        return startAgent(agent, f->peer, helperExecutable, {}, environmentWithDisplay(display));
    }
    bool setLayout(const QString& layout) {
        return run(u"setxkbmap"_s, QStringList{u"-display"_s, display_} + layout.split(u' '))
                   .status == 0;
    }

    const QString display_ = qEnvironmentVariable("DISPLAY");
    std::optional<AgentBus> f;
    Field field_;
};

int main(int argc, char** argv) {
    // The test's own windows live on an X server that must exist before the application starts.
    XvfbServer xvfb;
    if (!xvfb.isRunning())
        qFatal("tst_paste: Xvfb did not start");
    qputenv("DISPLAY", xvfb.display().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    PasteTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_paste.moc"
