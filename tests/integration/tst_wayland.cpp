#include "TestSupport.h"
#include "WaylandDesktop.h"

using namespace Qt::StringLiterals;
using namespace NotificationName;

using Layouts = std::tuple<QString, QString, QList<uint>>;

// The agent in a real Wayland session: headless KWin, the desktop portal with its KDE backend,
// and a Qt text field on Wayland, all on a bus of the test's own.
class WaylandTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        if (!WaylandDesktop::installed())
            QSKIP("KWin, the desktop portal's KDE backend or wl-clipboard is not installed "
                  "(scripts/install-deps installs them)");
    }

    // "v" is found in the compositor's keymap, whatever the layout: the one active when the
    // agent starts, and one the user switches to between two pastes. The US desktop goes on
    // through a burst, the session closed, and the portal's backend gone.
    void everyLayoutPastes_data() {
        // XKB layouts and variants; the active layout at the start, then at each further paste.
        QTest::addColumn<Layouts>("layouts");
        QTest::newRow("US, and the session's end") << Layouts{u"us"_s, {}, {0}};
        QTest::newRow("Dvorak") << Layouts{u"us"_s, u"dvorak"_s, {0}};
        QTest::newRow("AZERTY") << Layouts{u"fr"_s, {}, {0}};
        QTest::newRow("Russian first, US second") << Layouts{u"ru,us"_s, {}, {0}};
        QTest::newRow("Dvorak first, US active, then Dvorak")
            << Layouts{u"us,us"_s, u"dvorak,"_s, {1, 0}};
    }
    void everyLayoutPastes() {
        QFETCH(Layouts, layouts);
        const auto& [layout, variant, active] = layouts;
        WaylandDesktop desktop(layout, variant);
        QVERIFY2(desktop.isRunning(), qPrintable(desktop.whyNot()));
        BusPeer peer(desktop.bus());
        QVERIFY(peer.observe({didFinishLaunching, didPaste, accessWasEnabled}));
        LineProcess agent;
        QVERIFY(desktop.copy(u"pasted"_s));
        QDBusMessage choose = QDBusMessage::createMethodCall(
            u"org.kde.KWin"_s, u"/Layouts"_s, u"org.kde.KeyboardLayouts"_s, u"setLayout"_s);
        for (qsizetype paste = 0; paste < active.size(); ++paste) {
            choose.setArguments({active[paste]});
            if (active[paste] != 0 || paste > 0)
                QCOMPARE(desktop.bus().call(choose).type(), QDBusMessage::ReplyMessage);
            if (paste == 0) { // the agent joins and is granted as the installer's second step asks
                QVERIFY(startAgent(agent, peer, testAgent, {u"--poll-ms"_s, u"100"_s},
                                   desktop.environment()));
                askForAccess(peer);
                QVERIFY(peer.waitFor(accessWasEnabled) && agent.waitForLine(u"enabled"_s));
            }
            peer.post(shouldPaste);
            QVERIFY(desktop.waitForFieldLine(u"pasted"_s.repeated(int(paste) + 1)));
        }
        if (layout + variant != u"us")
            return;

        // A burst: every paste arrives, each whole.
        constexpr int burst = 200;
        peer.post(shouldPaste, burst);
        QVERIFY(peer.waitFor(didPaste, 1 + burst, 60000));
        QVERIFY(desktop.waitForFieldLine(u"pasted"_s.repeated(1 + burst), 20000));
        // Nothing stuck: no key repeats on its own once the pastes are done.
        const qsizetype lines = desktop.fieldLines().size();
        QTest::qWait(700);
        QCOMPARE(desktop.fieldLines().size(), lines);

        // The session closed from outside: not trusted any more, and nothing is typed.
        QString sender = desktop.bus().interface()->serviceOwner(name(BundleIdentifier::helper));
        sender = sender.mid(1).replace(u'.', u'_');
        QDBusMessage close = QDBusMessage::createMethodCall(
            u"org.freedesktop.impl.portal.desktop.kde"_s,
            u"/org/freedesktop/portal/desktop/session/%1/kelmo1"_s.arg(sender),
            u"org.freedesktop.impl.portal.Session"_s, u"Close"_s);
        QCOMPARE(desktop.bus().call(close).type(), QDBusMessage::ReplyMessage);
        QVERIFY(agent.waitForErrors(u"session ended"));
        peer.post(shouldStartCheckingForAccess);
        QVERIFY(agent.waitForLine(u"disabled"_s));
        peer.post(shouldPaste);
        QVERIFY(agent.waitForErrors(u"cannot paste"));
        QCOMPARE(peer.count(didPaste), 1 + burst);
        QCOMPARE(desktop.fieldLines().size(), lines);

        // Granted again, then the portal's backend dies: the portal would go on taking keys for
        // a session nobody has; the agent ends it, and claims no paste.
        askForAccess(peer);
        QVERIFY(peer.waitFor(accessWasEnabled, 2));
        const uint backend =
            desktop.bus().interface()->servicePid(u"org.freedesktop.impl.portal.desktop.kde"_s);
        QVERIFY(backend > 0 && ::kill(pid_t(backend), SIGKILL) == 0);
        QVERIFY(agent.waitForErrors(u"backend org.freedesktop.impl.portal.desktop.kde went away"));
        peer.post(shouldPaste);
        QVERIFY(agent.waitForErrors(u"cannot paste", 2));
        QCOMPARE(peer.count(didPaste), 1 + burst);
    }
};

QTEST_GUILESS_MAIN(WaylandTest)
#include "tst_wayland.moc"
