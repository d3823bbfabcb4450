#include "KeyRecorder.h"
#include "LineProcess.h"
#include "NotificationNames.h"
#include "PrivateBus.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <QVBoxLayout>

namespace {
const QString helperExecutable = QStringLiteral(KELMO_HELPER_EXECUTABLE);
const QString pasteLine = QStringLiteral("$ Kelmo Helper: paste()");
const QString didPasteLine = QStringLiteral("$ Kelmo Helper: didPaste");

constexpr xcb_keysym_t XK_v = 0x76;
constexpr xcb_keysym_t XK_Shift_L = 0xffe1;
constexpr xcb_keysym_t XK_Control_L = 0xffe3;
constexpr std::uint16_t ShiftMask = 1 << 0;
constexpr std::uint16_t ControlMask = 1 << 2;

bool run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}
} // namespace

class PasteTest : public QObject {
    Q_OBJECT
public:
    explicit PasteTest(XvfbServer& xvfb)
        : xvfb_(xvfb) {}

private Q_SLOTS:
    void init() {
        bus = std::make_unique<PrivateBus>();
        QVERIFY(bus->isRunning());
        peer = std::make_unique<BusPeer>(bus->connection());
        peer->observe({name(NotificationName::didFinishLaunching), name(NotificationName::didPaste),
                       name(NotificationName::willTerminate)});
    }
    void cleanup() {
        peer.reset();
        bus.reset();
    }

    void onePasteIsControlVAndNothingElse() {
        KeyRecorder recorder(xvfb_.display());
        QVERIFY(recorder.takeFocus());
        LineProcess agent;
        QVERIFY(startAgent(agent, *peer, helperExecutable, xvfb_.display()));

        peer->post(name(NotificationName::shouldPaste));
        QVERIFY(peer->waitFor(name(NotificationName::didPaste)));
        QVERIFY(recorder.waitForKeys(XK_v, 2));
        const auto v = recorder.keysOf(XK_v);
        QCOMPARE(v.size(), 2);
        QVERIFY(v[0].press && !v[1].press);
        QCOMPARE(v[0].state, ControlMask);
        QCOMPARE(v[1].state, ControlMask);
        QVERIFY(!recorder.isHeld(XK_Control_L));
        QCOMPARE(agent.output(), QStringList({pasteLine, didPasteLine}));
    }

    void twoPastesAreTwoWholeChordsInOrder() {
        KeyRecorder recorder(xvfb_.display());
        QVERIFY(recorder.takeFocus());
        LineProcess agent;
        QVERIFY(startAgent(agent, *peer, helperExecutable, xvfb_.display()));

        peer->post(name(NotificationName::shouldPaste));
        peer->post(name(NotificationName::shouldPaste));
        QVERIFY(peer->waitFor(name(NotificationName::didPaste), 2));
        QVERIFY(recorder.waitForKeys(XK_v, 4));
        QList<bool> presses;
        for (const auto& key : recorder.keysOf(XK_v))
            presses << key.press;
        QCOMPARE(presses, QList<bool>({true, false, true, false}));
        QCOMPARE(agent.output(), QStringList({pasteLine, didPasteLine, pasteLine, didPasteLine}));
    }

    void heldShiftIsNotPartOfTheChordAndStaysHeld() {
        KeyRecorder recorder(xvfb_.display());
        QVERIFY(recorder.takeFocus());
        LineProcess agent;
        QVERIFY(startAgent(agent, *peer, helperExecutable, xvfb_.display()));

        recorder.fakeKey(XK_Shift_L, true);
        peer->post(name(NotificationName::shouldPaste));
        QVERIFY(peer->waitFor(name(NotificationName::didPaste)));
        QVERIFY(recorder.waitForKeys(XK_v, 2));
        for (const auto& key : recorder.keysOf(XK_v))
            QCOMPARE(key.state, ControlMask);
        QVERIFY(recorder.isHeld(XK_Shift_L));
        QVERIFY(!recorder.isHeld(XK_Control_L));
        recorder.fakeKey(XK_Shift_L, false);
        // Shift, released for the chord and pressed again, still works for the user after it.
        const auto shift = recorder.keysOf(XK_Shift_L);
        QVERIFY(shift.size() >= 4);
        QVERIFY(shift[shift.size() - 2].press);
        QCOMPARE(shift.last().state & ShiftMask, ShiftMask);
    }

    void otherLayoutStillTypesV() {
        KeyRecorder recorder(xvfb_.display());
        QVERIFY(recorder.takeFocus());
        LineProcess agent;
        QVERIFY(startAgent(agent, *peer, helperExecutable, xvfb_.display()));
        // A first paste under the US map, so the agent has a key cached from it.
        peer->post(name(NotificationName::shouldPaste));
        QVERIFY(recorder.waitForKeys(XK_v, 2));
        const xcb_keycode_t usV = recorder.keysOf(XK_v).first().code;

        QVERIFY(run(QStringLiteral("setxkbmap"),
                    {QStringLiteral("-display"), xvfb_.display(), QStringLiteral("-layout"),
                     QStringLiteral("us"), QStringLiteral("-variant"), QStringLiteral("dvorak")}));
        QVERIFY(recorder.waitForMappingChange());
        const auto restoreUs = qScopeGuard([&] {
            run(QStringLiteral("setxkbmap"), {QStringLiteral("-display"), xvfb_.display(),
                                              QStringLiteral("-layout"), QStringLiteral("us")});
        });
        QVERIFY(recorder.keycodeOf(XK_v) != usV);

        peer->post(name(NotificationName::shouldPaste));
        QVERIFY(peer->waitFor(name(NotificationName::didPaste), 2));
        QVERIFY(recorder.waitForKeys(XK_v, 4));
        const auto v = recorder.keysOf(XK_v);
        QCOMPARE(v.size(), 4);
        QCOMPARE(v[2].code, recorder.keycodeOf(XK_v));
        QCOMPARE(v[2].state, ControlMask);
    }

    void focusedTextFieldReceivesTheClipboard() {
        const QString text =
            QStringLiteral("pasted by Kelmo Helper %1").arg(QDateTime::currentMSecsSinceEpoch());
        // Another application owns the clipboard, as on a desktop.
        QProcess clipboardOwner;
        clipboardOwner.start(QStringLiteral("xclip"),
                             {QStringLiteral("-display"), xvfb_.display(),
                              QStringLiteral("-selection"), QStringLiteral("clipboard"),
                              QStringLiteral("-quiet")});
        QVERIFY(clipboardOwner.waitForStarted());
        clipboardOwner.write(text.toUtf8());
        clipboardOwner.closeWriteChannel();
        const auto stopOwner = qScopeGuard([&] {
            clipboardOwner.kill();
            clipboardOwner.waitForFinished();
        });

        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* field = new QLineEdit;
        layout->addWidget(field);
        window.show();
        window.activateWindow();
        field->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(field->hasFocus(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::clipboard()->text() == text, 10000);

        LineProcess agent;
        QVERIFY(startAgent(agent, *peer, helperExecutable, xvfb_.display()));
        peer->post(name(NotificationName::shouldPaste));
        QTRY_COMPARE_WITH_TIMEOUT(field->text(), text, 10000);
        QVERIFY(peer->waitFor(name(NotificationName::didPaste)));
    }

    void withoutDisplayNothingIsTypedAndNothingClaimed() {
        LineProcess agent;
        QVERIFY(startAgent(agent, *peer, helperExecutable, XvfbServer::unusedDisplay()));
        peer->post(name(NotificationName::shouldPaste));
        QVERIFY(QTest::qWaitFor(
            [&] { return !agent.errors().filter(QStringLiteral("cannot paste")).isEmpty(); },
            10000));
        QCOMPARE(agent.errors().filter(QStringLiteral("cannot paste")).size(), 1);
        QVERIFY(agent.errors()
                    .filter(QStringLiteral("cannot paste"))
                    .first()
                    .contains(QStringLiteral("cannot open the X display")));
        peer->post(name(NotificationName::shouldTerminate));
        QVERIFY(agent.waitForExit());
        QVERIFY(peer->waitFor(name(NotificationName::willTerminate)));
        QCOMPARE(agent.output(),
                 QStringList({pasteLine, QStringLiteral("$ Kelmo Helper: willTerminate")}));
        QCOMPARE(peer->count(name(NotificationName::didPaste)), 0);
    }

    void agentOutlivesTheXServerAndReconnects() {
        const QString display = XvfbServer::unusedDisplay();
        auto server = std::make_unique<XvfbServer>(display, QStringList());
        QVERIFY(server->isRunning());
        LineProcess agent;
        QVERIFY(startAgent(agent, *peer, helperExecutable, display));
        peer->post(name(NotificationName::shouldPaste));
        QVERIFY(peer->waitFor(name(NotificationName::didPaste)));

        server.reset();
        peer->post(name(NotificationName::shouldPaste));
        QVERIFY(QTest::qWaitFor(
            [&] { return !agent.errors().filter(QStringLiteral("cannot paste")).isEmpty(); },
            10000));
        QVERIFY(agent.isRunning());

        server = std::make_unique<XvfbServer>(display, QStringList());
        QVERIFY(server->isRunning());
        KeyRecorder recorder(display);
        QVERIFY(recorder.takeFocus());
        peer->post(name(NotificationName::shouldPaste));
        QVERIFY(peer->waitFor(name(NotificationName::didPaste), 2));
        QVERIFY(recorder.waitForKeys(XK_v, 2));
    }

private:
    XvfbServer& xvfb_;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<BusPeer> peer;
};

int main(int argc, char** argv) {
    // The test's own window lives on an X server of its own, which must exist before the
    // application connects to it.
    XvfbServer xvfb;
    if (!xvfb.isRunning()) {
        std::fprintf(stderr, "tst_paste: Xvfb did not start\n");
        return 1;
    }
    qputenv("DISPLAY", xvfb.display().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    PasteTest test(xvfb);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_paste.moc"
