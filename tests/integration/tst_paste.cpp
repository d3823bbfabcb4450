#include "KeyRecorder.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <csignal>

namespace {
const QString helperExecutable = QStringLiteral(KELMO_HELPER_EXECUTABLE);
const QString pasteLine = QStringLiteral("$ Kelmo Helper: paste()");
const QString didPasteLine = QStringLiteral("$ Kelmo Helper: didPaste");

constexpr xcb_keysym_t XK_v = 0x76;
constexpr xcb_keysym_t XK_Shift_L = 0xffe1;
constexpr xcb_keysym_t XK_Control_L = 0xffe3;
constexpr std::uint16_t ShiftMask = 1 << 0;
constexpr std::uint16_t ControlMask = 1 << 2;

bool setLayout(const QString& display, const QStringList& arguments) {
    QProcess setxkbmap;
    setxkbmap.start(QStringLiteral("setxkbmap"),
                    QStringList{QStringLiteral("-display"), display} + arguments);
    return setxkbmap.waitForFinished(20000) && setxkbmap.exitCode() == 0;
}

// The key presses a widget gets, as its toolkit saw them.
class KeyPresses final : public QObject {
public:
    struct Press {
        quint32 code;
        Qt::KeyboardModifiers modifiers;
    };
    QList<Press> presses;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            presses << Press{key->nativeScanCode(), key->modifiers()};
        }
        return false;
    }
};

qint64 residentKilobytes(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}
} // namespace

// The paste keystroke on a real X server, as a real X client window and a real text field see it.
class PasteTest : public QObject {
    Q_OBJECT
public:
    explicit PasteTest(XvfbServer& xvfb)
        : xvfb_(xvfb) {}

private Q_SLOTS:
    void init() {
        f.emplace();
        QVERIFY(f->bus.isRunning());
    }
    void cleanup() { f.reset(); }

    void eachPasteIsOneWholeControlVChord() {
        KeyRecorder recorder(xvfb_.display());
        QVERIFY(recorder.takeFocus());
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable, xvfb_.display()));
        f->peer.post(name(NotificationName::shouldPaste), 2);
        QVERIFY(f->peer.waitFor(name(NotificationName::didPaste), 2));
        QVERIFY(recorder.waitForKeys(XK_v, 4));
        QList<bool> presses;
        for (const auto& key : recorder.keysOf(XK_v)) {
            presses << key.press;
            QCOMPARE(key.state, ControlMask);
        }
        QCOMPARE(presses, QList<bool>({true, false, true, false}));
        QVERIFY(!recorder.isHeld(XK_Control_L));
        QCOMPARE(agent.output(), QStringList({pasteLine, didPasteLine, pasteLine, didPasteLine}));
    }

    void heldShiftIsNotPartOfTheChordAndStaysHeld() {
        KeyRecorder recorder(xvfb_.display());
        QVERIFY(recorder.takeFocus());
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable, xvfb_.display()));
        // A first paste, so that the agent knows the keyboard before the user presses Shift.
        f->peer.post(name(NotificationName::shouldPaste));
        QVERIFY(recorder.waitForKeys(XK_v, 2));

        recorder.fakeKey(XK_Shift_L, true);
        f->peer.post(name(NotificationName::shouldPaste));
        QVERIFY(f->peer.waitFor(name(NotificationName::didPaste), 2));
        QVERIFY(recorder.waitForKeys(XK_v, 4));
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

    // A text field in a GTK or Qt application pastes on Control plus the key that gives "v" in
    // any layout. Where none does, the key at the V position is typed, as on the system the
    // helper was designed for; toolkits don't take that for a paste. Each agent pastes once under
    // US first, so that the layout changes under it.
    void everyLayoutPastesIntoATextField_data() {
        QTest::addColumn<QStringList>("layout");
        QTest::addColumn<int>("group");
        QTest::addColumn<bool>("pastes");
        const auto layout = [](const char* line) {
            return QString::fromLatin1(line).split(u' ');
        };
        QTest::newRow("Dvorak") << layout("-layout us -variant dvorak") << 0 << true;
        QTest::newRow("AZERTY") << layout("-layout fr") << 0 << true;
        QTest::newRow("Russian first, US second") << layout("-layout ru,us") << 0 << true;
        QTest::newRow("Dvorak first, US active")
            << layout("-layout us,us -variant dvorak,") << 1 << true;
        QTest::newRow("Russian alone") << layout("-layout ru") << 0 << false;
    }
    void everyLayoutPastesIntoATextField() {
        QFETCH(QStringList, layout);
        QFETCH(int, group);
        QFETCH(bool, pastes);
        if (!field_) {
            field_ = std::make_unique<QLineEdit>();
            field_->installEventFilter(&keys_);
            field_->show();
            field_->activateWindow();
        }
        field_->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(field_->hasFocus(), 10000);
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable, xvfb_.display()));
        const auto restoreUs = qScopeGuard([&] {
            setLayout(xvfb_.display(), {QStringLiteral("-layout"), QStringLiteral("us")});
        });
        for (int paste = 1; paste <= 2; ++paste) {
            if (paste == 2) {
                QVERIFY(setLayout(xvfb_.display(), layout));
                KeyRecorder(xvfb_.display()).lockGroup(group);
            }
            const QString text =
                QStringLiteral("paste %1 under %2").arg(paste).arg(layout.join(u' '));
            QApplication::clipboard()->setText(text);
            field_->clear();
            keys_.presses.clear();
            f->peer.post(name(NotificationName::shouldPaste));
            QVERIFY(f->peer.waitFor(name(NotificationName::didPaste), paste));
            QTRY_COMPARE_WITH_TIMEOUT(keys_.presses.size(), 2, 10000);
            QCOMPARE(keys_.presses.last().modifiers, Qt::ControlModifier);
            if (pastes || paste == 1) {
                QTRY_COMPARE_WITH_TIMEOUT(field_->text(), text, 10000);
                vPosition = keys_.presses.last().code;
            } else {
                QCOMPARE(keys_.presses.last().code, vPosition);
                QCOMPARE(field_->text(), QString());
            }
        }
    }

    void withoutDisplayNothingIsTypedAndNothingClaimed() {
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable, XvfbServer::unusedDisplay()));
        f->peer.post(name(NotificationName::shouldPaste));
        f->peer.post(name(NotificationName::shouldTerminate));
        QVERIFY(agent.waitForExit());
        QCOMPARE(
            agent.errors().filter(QStringLiteral("cannot paste: cannot open the X display")).size(),
            1);
        QCOMPARE(agent.output(),
                 QStringList({pasteLine, QStringLiteral("$ Kelmo Helper: willTerminate")}));
        QCOMPARE(f->peer.count(name(NotificationName::didPaste)), 0);
    }

    void agentOutlivesTheXServerAndReconnects() {
        const QString display = XvfbServer::unusedDisplay();
        std::optional<XvfbServer> server(std::in_place, display, QStringList());
        QVERIFY(server->isRunning());
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable, display));
        f->peer.post(name(NotificationName::shouldPaste));
        QVERIFY(f->peer.waitFor(name(NotificationName::didPaste)));

        server.reset();
        f->peer.post(name(NotificationName::shouldPaste));
        QVERIFY(QTest::qWaitFor([&] { return !agent.errors().filter(u"cannot paste").isEmpty(); }));
        QVERIFY(agent.isRunning());

        server.emplace(display, QStringList());
        QVERIFY(server->isRunning());
        KeyRecorder recorder(display);
        QVERIFY(recorder.takeFocus());
        f->peer.post(name(NotificationName::shouldPaste));
        QVERIFY(f->peer.waitFor(name(NotificationName::didPaste), 2));
        QVERIFY(recorder.waitForKeys(XK_v, 2));
    }

    // A stopped X server holds nothing: pastes fail within a second and then at once, nothing
    // piles up to be typed later, the agent still ends on request, and it types again once the
    // server is back.
    void stoppedXServerHoldsNothing() {
        XvfbServer server;
        QVERIFY(server.isRunning());
        KeyRecorder recorder(server.display());
        QVERIFY(recorder.takeFocus());
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable, server.display()));
        f->peer.post(name(NotificationName::shouldPaste));
        QVERIFY(f->peer.waitFor(name(NotificationName::didPaste)));

        // Continuing a running server changes nothing, so the guard may always do it.
        const auto resume = qScopeGuard([&] { ::kill(pid_t(server.pid()), SIGCONT); });
        ::kill(pid_t(server.pid()), SIGSTOP);
        f->peer.post(name(NotificationName::shouldPaste), 50);
        QVERIFY(QTest::qWaitFor([&] { return agent.output().count(pasteLine) == 51; }, 20000));
        QVERIFY(agent.errors().filter(u"does not answer").size() >= 49);
        // At most the one chord written before the server could be found stopped is claimed.
        QVERIFY(agent.output().count(didPasteLine) <= 2);

        ::kill(pid_t(server.pid()), SIGCONT);
        const qsizetype claimed = agent.output().count(didPasteLine);
        // Until the server has answered again, pastes still fail at once: try until one works,
        // each try waiting for its own outcome.
        const auto outcomes = [&] {
            return agent.errors().filter(u"cannot paste").size() +
                   agent.output().count(didPasteLine);
        };
        QVERIFY(QTest::qWaitFor(
            [&] {
                const qsizetype before = outcomes();
                f->peer.post(name(NotificationName::shouldPaste));
                return QTest::qWaitFor([&] { return outcomes() > before; }) &&
                       agent.output().count(didPasteLine) > claimed;
            },
            20000));
        // The chord the server had not read when it stopped may or may not be typed once it
        // runs again; nothing else from the stop is.
        QVERIFY(recorder.waitForKeys(XK_v, 4));
        QTest::qWait(300);
        QVERIFY(recorder.keysOf(XK_v).size() <= 2 * (claimed + 1));

        ::kill(pid_t(server.pid()), SIGSTOP);
        f->peer.post(name(NotificationName::shouldPaste), 3);
        ::kill(pid_t(agent.pid()), SIGTERM);
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.output().last(), QStringLiteral("$ Kelmo Helper: willTerminate"));
    }

    void floodsMemoryComesBack() {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("AddressSanitizer keeps freed memory in quarantine");
#endif
        XvfbServer server;
        QVERIFY(server.isRunning());
        LineProcess agent;
        QVERIFY(startAgent(agent, f->peer, helperExecutable, server.display()));
        const qint64 idle = residentKilobytes(agent.pid());
        constexpr int flood = 30000;
        f->peer.post(name(NotificationName::shouldPaste), flood);
        QVERIFY(f->peer.waitFor(name(NotificationName::didPaste), flood, 120000));
        const qint64 peak = residentKilobytes(agent.pid());
        QVERIFY2(peak > idle + 2000, qPrintable(QStringLiteral("%1 → %2 kB").arg(idle).arg(peak)));
        QTRY_VERIFY2_WITH_TIMEOUT(residentKilobytes(agent.pid()) < idle + (peak - idle) / 3,
                                  qPrintable(QStringLiteral("%1 → %2 → %3 kB")
                                                 .arg(idle)
                                                 .arg(peak)
                                                 .arg(residentKilobytes(agent.pid()))),
                                  10000);
    }

    void cleanupTestCase() {
        field_.reset();
    }

private:
    XvfbServer& xvfb_;
    std::optional<AgentBus> f;
    std::unique_ptr<QLineEdit> field_;
    KeyPresses keys_;
    // The key that typed "v" under the US layout.
    quint32 vPosition = 0;
};

int main(int argc, char** argv) {
    // The test's own windows live on an X server of its own, which must exist before the
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
