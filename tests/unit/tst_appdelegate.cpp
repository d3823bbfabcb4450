#include "AgentPlatform.h"
#include "AppDelegate.h"
#include "DarwinNotificationsManager.h"
#include "NotificationNames.h"
#include "NotifyCenter.h"
#include "TerminationSignals.h"

#include <QSet>
#include <QTest>
#include <csignal>

using namespace Qt::StringLiterals;
using namespace NotificationName;

namespace {
// The platform's notify center, faked: one log of subscriptions and posts, refusals on demand.
class RecordingCenter final : public NotifyCenter {
public:
    bool addObserver(void* observer, NotifyCallback callback, const QString& name) override {
        log << u"observe "_s + name;
        if (refused.contains(name))
            return false;
        if (!subscriptions.contains(name, {observer, callback})) // once, as on the platform
            subscriptions.insert(name, {observer, callback});
        return true;
    }
    void removeEveryObserver(void* observer) override {
        subscriptions.removeIf([&](const auto& s) { return s.value().first == observer; });
    }
    void postNotification(const QString& n, const QVariantMap*) override { log << u"post "_s + n; }
    void flush() override {}

    void deliver(QAnyStringView name) { // as when `name` is posted anywhere on the machine
        for (const auto& [observer, callback] : subscriptions.values(name.toString()))
            callback(this, observer, name.toString(), nullptr, nullptr);
    }

    QStringList log;
    QSet<QString> refused;

private:
    QMultiHash<QString, std::pair<void*, NotifyCallback>> subscriptions;
} center;

// The manager's log lines and the blocks it runs, in the one order in which they happen.
QStringList events;
void recordMessage(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (QLatin1String(context.category) == QLatin1String("kelmo.notifications"))
        events << message;
}

// The agent on fakes: keystrokes and trust checks join the center's log; no application runs.
class Agent final : public KeyboardEventPoster,
                    public AccessibilityTrust,
                    public RunningApplications {
public:
    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t key, bool down,
                                                     QString&) override {
        return KeyboardEvent{key, down, 0, 0, 0, nullptr};
    }
    void postEvents(int tap, std::span<const KeyboardEvent> chord, Posted posted) override {
        for (const KeyboardEvent& e : chord)
            center.log << QString::asprintf("key %d %s flags %llx tap %d", e.virtualKey,
                                            e.keyDown ? "down" : "up", qulonglong(e.flags), tap);
        duringPost ? duringPost() : void();
        posted({});
    }
    bool isProcessTrusted(bool prompt) override {
        return center.log << (prompt ? u"prompt"_s : u"check"_s), trusted;
    }
    bool isRunning(const QString&) override { return false; }

    bool trusted = false;
    std::function<void()> duringPost;
    AppDelegate delegate{
        *this, *this, *this, {std::chrono::minutes(1), std::chrono::milliseconds(10)}};
};

constexpr int quietMs = 200; // how long proving that nothing more happens takes
} // namespace

NotifyCenter& darwinNotifyCenter() { // the shared manager's
    return center;
}

class AppDelegateTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { qInstallMessageHandler(recordMessage); }
    void init() {
        events.clear();
        center.log.clear();
        center.refused.clear();
        center.removeEveryObserver(&DarwinNotificationsManager::sharedInstance());
        f.emplace();
    }

    void managerLogsEachDeliveryThenRunsTheBlockStoredLast() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        // A block may register again while it runs.
        QVERIFY(manager.registerForNotificationName(u"n.again"_s, [&manager] {
            events << u"old"_s;
            QVERIFY(manager.registerForNotificationName(u"n.again"_s, [] { events << u"new"_s; }));
            events << u"old still running"_s;
        }));
        manager.notificationCallbackReceivedWithName(u"n.again"_s);
        manager.notificationCallbackReceivedWithName(u"n.again"_s);
        QCOMPARE(events, QStringList({u"old"_s, u"old still running"_s, u"new"_s}));

        // Each delivery, to whichever subscriber, runs the shared instance's last block; a name
        // without a block is logged and runs nothing.
        QVERIFY(manager.registerForNotificationName(u"n.paste"_s, [] { events << u"first"_s; }));
        QVERIFY(manager.registerForNotificationName(u"n.paste"_s, [] { events << u"last"_s; }));
        DarwinNotificationsManager other(center);
        QVERIFY(other.registerForNotificationName(u"n.paste"_s, [] { events << u"other"_s; }));
        events.clear();
        center.deliver(u"n.paste"_s);
        DarwinNotificationsManager::darwinNotificationCallback(nullptr, nullptr, u"n.none"_s,
                                                               nullptr, nullptr);
        const QStringList paste{u"name: n.paste"_s, u"userinfo: (null)"_s, u"last"_s};
        QCOMPARE(events, paste + paste + QStringList({u"name: n.none"_s, u"userinfo: (null)"_s}));
    }

    // The agent from its launch to its end. Every command is subscribed before it claims its place
    // and then announces itself; a refused subscription or a lost claim announces nothing.
    void launchAccessPasteAndEnd() {
        for (const char* refused : {shouldPaste, shouldStartCheckingForAccess, "claim"}) {
            init();
            center.refused << QLatin1String(refused);
            QVERIFY(!f->delegate.applicationDidFinishLaunching(claim));
            QVERIFY(center.log.filter(u"post"_s).isEmpty());
        }
        init();
        QVERIFY(f->delegate.applicationDidFinishLaunching(claim));
        QCOMPARE(center.log,
                 QStringList({observe(shouldPaste), observe(shouldTerminate),
                              observe(shouldRequestAccess), observe(shouldStartCheckingForAccess),
                              u"claim"_s, post(didFinishLaunching)}));

        // A request checks once, with the prompt, and starts no poll. Two starts make one poll,
        // without the prompt, that ends on trust. Trusted, a request answers at once and stops a
        // poll just started.
        after({shouldRequestAccess});
        QCOMPARE(settled(), QStringList{u"prompt"_s});
        after({shouldStartCheckingForAccess, shouldStartCheckingForAccess});
        QTRY_VERIFY(center.log.size() >= 3);
        QCOMPARE(center.log, QStringList(center.log.size(), u"check"_s));
        f->trusted = true;
        QTRY_COMPARE(center.log.count(post(accessWasEnabled)), 1);
        const QStringList polled = center.log;
        QCOMPARE(settled(), polled);
        const QStringList answered{u"prompt"_s, post(accessWasEnabled)};
        QCOMPARE(after({shouldStartCheckingForAccess, shouldRequestAccess}), answered);
        QCOMPARE(settled(), answered);

        // A paste is Command+V, then the answer; nothing acts after the end. Last, as a
        // termination signal can't be taken back: one that arrives while a paste is under way
        // ends the agent before any command queued behind that paste acts.
        const QStringList pasted{u"key 9 down flags 100000 tap 0"_s,
                                 u"key 9 up flags 100000 tap 0"_s, post(didPaste)};
        QCOMPARE(after({shouldPaste}), pasted);
        after({shouldTerminate, shouldPaste, shouldRequestAccess, shouldStartCheckingForAccess,
               shouldTerminate});
        QCOMPARE(settled(), QStringList());

        init();
        onTerminationSignal([] {});
        QVERIFY(f->delegate.applicationDidFinishLaunching());
        f->duringPost = std::bind(::raise, SIGTERM);
        QCOMPARE(after({shouldPaste, shouldPaste, shouldPaste}), pasted);
    }

private:
    static QString observe(const char* name) { return u"observe "_s + QLatin1String(name); }
    static QString post(const char* name) { return u"post "_s + QLatin1String(name); }
    static bool claim() { return center.log << u"claim"_s, !center.refused.contains(u"claim"_s); }
    // The log of what the agent does once `commands` arrive.
    static QStringList after(std::initializer_list<const char*> commands) {
        center.log.clear();
        for (const char* command : commands)
            center.deliver(command);
        return center.log;
    }
    // All of the log, once the agent has had time to do more.
    static QStringList settled() { return QTest::qWait(quietMs), center.log; }

    std::optional<Agent> f;
};

QTEST_GUILESS_MAIN(AppDelegateTest)
#include "tst_appdelegate.moc"
