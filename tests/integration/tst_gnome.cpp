#include "BusDeadline.h"
#include "GnomeDesktop.h"
#include "ShellExtension.h"
#include "TestSupport.h"

#include <QStandardPaths>
#include <limits>

using namespace Qt::StringLiterals;
using namespace NotificationName;

// On a real headless GNOME Shell the agent types through its Shell extension: no dialog, each
// application's chord, a burst whole, nobody else let in, the extension switched off, the Shell
// stopped or gone mid-burst. The desktop is started once, for every case in order.
class GnomeTest : public QObject {
    Q_OBJECT
    QTemporaryDir services;
    std::unique_ptr<AgentBus> f;
    std::unique_ptr<GnomeDesktop> desktop;
    LineProcess agent;

    qsizetype chords() { return desktop->fieldLines().count(u"key: Ctrl+V"_s); }
    qsizetype failures() { return agent.errors().filter(u"cannot paste"_s).size(); }
    // The field counts `count` chords, and no more a moment later.
    bool chordsSettleAt(qsizetype count) {
        return QTest::qWaitFor([&] { return chords() >= count; }, 30000) &&
               (QTest::qWait(300), chords() == count);
    }
    // `line` is printed once more after `cause`.
    template <typename Cause>
    bool printsAgain(const QString& line, Cause cause) {
        const qsizetype before = agent.output().count(line);
        cause();
        return QTest::qWaitFor([&] { return agent.output().count(line) > before; });
    }
    QDBusMessage askExtension(const QString& method, const QVariantList& arguments = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            u"org.gnome.Shell"_s, u"/co/ambertide/KelmoHelper/Shell"_s,
            u"co.ambertide.KelmoHelper.Shell"_s, method);
        call.setArguments(arguments);
        return f->bus.connection().call(call);
    }

private Q_SLOTS:
    void initTestCase() {
        if (!GnomeDesktop::installed())
            QSKIP("gnome-shell is not installed (scripts/install-deps installs it)");
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

    // A field gets the clipboard; a burst arrives whole (counted in keys, the clipboard empty);
    // a terminal takes Control+Shift+V: the clipboard's text, not a ^V.
    void pastesIntoEachApplicationWithItsChord() {
        QVERIFY(desktop->copy(u"from the clipboard"_s));
        f->peer.post(shouldPaste);
        QVERIFY(desktop->waitForFieldLine(u"from the clipboard"_s));
        QVERIFY(desktop->copy(QString()));
        constexpr int burst = 500;
        const qsizetype before = chords();
        f->peer.post(shouldPaste, burst);
        QVERIFY(chordsSettleAt(before + burst));

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

    // The extension types for the agent's name alone, and tells it alone the focused window.
    void anyoneElseIsRefused() {
        const qsizetype before = chords();
        const QString denied = u"org.freedesktop.DBus.Error.AccessDenied"_s;
        QCOMPARE(askExtension(u"Paste"_s, {u"Control+V"_s, std::numeric_limits<qint64>::max()})
                     .errorName(),
                 denied);
        QCOMPARE(askExtension(u"FocusedApplication"_s).errorName(), denied);
        f->peer.post(shouldPaste);
        QVERIFY(chordsSettleAt(before + 1));
    }

    // Switched off: disabled, pastes fail; asking again switches it on, as step 2 does.
    void switchedOffAndOnAgain() {
        QVERIFY(desktop->setExtensionEnabled(false));
        QVERIFY(printsAgain(u"disabled"_s, [&] { f->peer.post(shouldStartCheckingForAccess); }));
        const qsizetype before = chords(), failed = failures();
        f->peer.post(shouldPaste);
        QVERIFY(QTest::qWaitFor([&] { return failures() > failed; }));
        QVERIFY(printsAgain(u"enabled"_s, [&] { askForAccess(f->peer); }));
        QVERIFY(desktop->focus(u"demo-textfield"_s));
        f->peer.post(shouldPaste);
        QVERIFY(chordsSettleAt(before + 1));
    }

    // A stopped Shell: the pastes asked meanwhile fail in time, and once it goes on it types
    // nothing, not even the chord it held (past its time).
    void shellStalled() {
        const qsizetype before = chords(), pasted = f->peer.count(didPaste), failed = failures();
        const pid_t shell = pid_t(desktop->shellPid());
        const auto resume = qScopeGuard([&] { ::kill(shell, SIGCONT); });
        ::kill(shell, SIGSTOP);
        f->peer.post(shouldPaste, 20);
        QVERIFY(QTest::qWaitFor([&] { return failures() - failed == 20; }, 20000));
        QVERIFY(agent.errors().last().contains(u"does not answer"_s));
        ::kill(shell, SIGCONT);
        QVERIFY(desktop->focus(u"demo-textfield"_s));
        f->peer.post(shouldPaste);
        QVERIFY(chordsSettleAt(before + 1));
        QCOMPARE(f->peer.count(didPaste), pasted + 1);
    }

    // The Shell dies mid-burst: every paste is answered once, those not typed fail, none is
    // typed into the next Shell, which is taken up without restarting the agent.
    void shellGoneMidBurst() {
        const qsizetype pasted = f->peer.count(didPaste), failed = failures();
        constexpr int burst = 300;
        f->peer.post(shouldPaste, burst);
        QVERIFY(f->peer.waitFor(didPaste, pasted + 1));
        desktop->killShell();
        const auto answered = [&] {
            return f->peer.count(didPaste) - pasted + failures() - failed;
        };
        QVERIFY(QTest::qWaitFor([&] { return answered() == burst; }, 20000));
        QVERIFY(failures() > failed);
        QVERIFY(printsAgain(u"disabled"_s, [&] { f->peer.post(shouldStartCheckingForAccess); }));
        QVERIFY(printsAgain(u"enabled"_s, [&] { QVERIFY(desktop->restartShell()); }));
        QCOMPARE(answered(), burst);
        f->peer.post(shouldPaste);
        QVERIFY(chordsSettleAt(1));
        QVERIFY(stopAgent(agent, f->peer));
    }

    // Where the Shell has not loaded the extension, GNOME's own portal types, after its dialog:
    // the switch "Allow remote interaction" (off when it opens), then Share; from GNOME 48 on,
    // the portal's restore token spares the next start the dialog.
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
        // GNOME 48's dialog has "Remember This Selection" first, and Share only once
        // interaction is allowed; 43's has the switch first.
        QVERIFY(desktop->type(
            GnomeDesktop::shellMajor() >= 48
                ? QStringList{u"Tab"_s, u"Return"_s, u"Tab"_s, u"Tab"_s, u"Return"_s}
                : QStringList{u"Return"_s, u"Tab"_s, u"Tab"_s, u"Tab"_s, u"Return"_s}));
        // Once granted, `copied` lands in the field, which then reads `field`; then `one` ends.
        const auto pastesAndEnds = [&](LineProcess& one, const QString& copied,
                                       const QString& field) {
            return desktop->focus(u"demo-textfield"_s) && desktop->copy(copied) &&
                   (f->peer.post(shouldPaste), desktop->waitForFieldLine(field)) &&
                   stopAgent(one, f->peer);
        };
        QVERIFY(f->peer.waitFor(accessWasEnabled, granted + 1, 20000));
        QVERIFY(pastesAndEnds(portalAgent, u"through the portal"_s, u"through the portal"_s));

        if (GnomeDesktop::shellMajor() >= 48) {
            LineProcess nextAgent;
            QVERIFY(startAgent(nextAgent, f->peer, testAgent, {}, env));
            askForAccess(f->peer);
            QVERIFY(f->peer.waitFor(accessWasEnabled, granted + 2, 20000));
            QVERIFY(pastesAndEnds(nextAgent, u" again"_s, u"through the portal again"_s));
        }
    }

    // Installed during this login, the extension is not known to the Shell until the next one:
    // the installer's check says so, and the agent says why it types through the portal.
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

        LineProcess portalAgent;
        QVERIFY(startAgent(portalAgent, f->peer, testAgent, {}, desktop->environment()));
        QVERIFY(portalAgent.waitForErrors(
            u"typing through the desktop portal, which asks at every start: the GNOME Shell "
            "extension kelmo-helper@ambertide.co is installed, but GNOME Shell has not loaded "
            "it yet"));
        QVERIFY(stopAgent(portalAgent, f->peer));
    }
};

QTEST_GUILESS_MAIN(GnomeTest)
#include "tst_gnome.moc"
