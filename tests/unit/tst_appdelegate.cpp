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
// Stands in for the platform's notify center: records what is asked of it, subscriptions and posts
// in one sequence, refuses the names it is told to, and delivers by hand.
class RecordingCenter final : public NotifyCenter {
public:
    bool addObserver(void* observer, NotifyCallback callback, const QString& name) override {
        log << u"observe "_s + name;
        if (refused.contains(name))
            return false;
        subscriptions.insert(name, {observer, callback});
        return true;
    }
    void removeEveryObserver(void* observer) override {
        subscriptions.removeIf([&](const auto& s) { return s.value().first == observer; });
    }
    void postNotification(const QString& n, const QVariantMap*) override { log << u"post "_s + n; }
    void flush() override {}

    // What the platform does when `name` is posted somewhere on the machine.
    void deliver(QAnyStringView delivered) {
        const QString name = delivered.toString();
        for (const auto& [observer, callback] : subscriptions.values(name))
            callback(this, observer, name, nullptr, nullptr);
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

// The agent on a platform of fakes: keystrokes go into the center's log, so that their order
// against the posts shows; trust checks are recorded; no application runs.
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
    bool isProcessTrusted(bool prompt) override { return checks << prompt, trusted; }
    bool isRunning(const QString&) override { return false; }

    bool trusted = false;
    QList<bool> checks;
    std::function<void()> duringPost;
    AppDelegate delegate{
        *this, *this, *this, {std::chrono::minutes(1), std::chrono::milliseconds(10)}};
};

// Proving that nothing more happens takes waiting; this is how long.
constexpr int quietMs = 200;
} // namespace

// The process's one center; the manager's shared instance uses it.
NotifyCenter& darwinNotifyCenter() {
    return center;
}

// The notification manager and the agent's logic against a recording center: what they
// subscribe, log, post and type, in order.
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
        QVERIFY(manager.registerForNotificationName(u"n.paste"_s, recording("first")));
        QVERIFY(manager.registerForNotificationName(u"n.paste"_s, recording("last")));
        center.deliver(u"n.paste"_s);
        // The center holds a subscription per registration; each delivery runs the last block.
        QCOMPARE(events.mid(0, 3),
                 QStringList({u"name: n.paste"_s, u"userinfo: (null)"_s, u"last"_s}));
        QVERIFY(!events.contains(u"first"_s));
        // Deliveries go to the shared instance, whoever subscribed; a name without a block is
        // logged and runs nothing.
        DarwinNotificationsManager other(center);
        QVERIFY(other.registerForNotificationName(u"n.paste"_s, recording("other")));
        events.clear();
        center.deliver(u"n.paste"_s);
        DarwinNotificationsManager::darwinNotificationCallback(nullptr, nullptr, u"n.none"_s,
                                                               nullptr, nullptr);
        QVERIFY(events.count(u"last"_s) >= 1 && !events.contains(u"other"_s));
        QCOMPARE(events.mid(events.size() - 2),
                 QStringList({u"name: n.none"_s, u"userinfo: (null)"_s}));

        // A block may register again while it runs.
        QVERIFY(manager.registerForNotificationName(u"n.again"_s, [&manager] {
            events << u"old"_s;
            QVERIFY(manager.registerForNotificationName(u"n.again"_s, recording("new")));
            events << u"old still running"_s;
        }));
        events.clear();
        manager.notificationCallbackReceivedWithName(u"n.again"_s);
        manager.notificationCallbackReceivedWithName(u"n.again"_s);
        QCOMPARE(events, QStringList({u"old"_s, u"old still running"_s, u"new"_s}));
    }

    // The agent from its launch to its end. Every command is subscribed before it claims its place
    // and then announces itself; a refused subscription or a lost claim announces nothing.
    void launchAccessPasteAndEnd() {
        const auto claim = [] {
            center.log << u"claim"_s;
            return !center.refused.contains(u"claim"_s);
        };
        QVERIFY(f->delegate.applicationDidFinishLaunching(claim));
        QCOMPARE(center.log,
                 QStringList({observe(shouldPaste), observe(shouldTerminate),
                              observe(shouldRequestAccess), observe(shouldStartCheckingForAccess),
                              u"claim"_s, post(didFinishLaunching)}));
        // Refused: a subscription, or the claim.
        for (const char* refused : {shouldPaste, shouldStartCheckingForAccess, "claim"}) {
            init();
            center.refused << QLatin1String(refused);
            QVERIFY(!f->delegate.applicationDidFinishLaunching(claim));
            QVERIFY(center.log.filter(u"post"_s).isEmpty());
        }

        // A request checks once, with the prompt, and starts no poll. Two starts make one poll,
        // without the prompt, that ends on trust. Trusted, a request answers at once and stops a
        // poll just started.
        init();
        QVERIFY(f->delegate.applicationDidFinishLaunching());
        center.deliver(shouldRequestAccess);
        QTest::qWait(quietMs);
        QCOMPARE(f->checks, QList<bool>{true});
        center.deliver(shouldStartCheckingForAccess);
        center.deliver(shouldStartCheckingForAccess);
        QTRY_VERIFY(f->checks.size() >= 4);
        QVERIFY(!f->checks.mid(1).contains(true));
        QCOMPARE(center.log.count(post(accessWasEnabled)), 0);
        f->trusted = true;
        QTRY_COMPARE(center.log.count(post(accessWasEnabled)), 1);
        const qsizetype checks = f->checks.size();
        QTest::qWait(quietMs);
        QCOMPARE(center.log.count(post(accessWasEnabled)), 1);
        QCOMPARE(f->checks.size(), checks);

        f->checks.clear();
        center.deliver(shouldStartCheckingForAccess);
        center.deliver(shouldRequestAccess);
        QCOMPARE(center.log.count(post(accessWasEnabled)), 2);
        QTest::qWait(quietMs);
        QCOMPARE(f->checks, QList<bool>{true});
        QCOMPARE(center.log.count(post(accessWasEnabled)), 2);

        // A paste is Command+V, then the answer; nothing acts after the end. Last, as a
        // termination signal can't be taken back: one that arrives while a paste is under way
        // ends the agent before any command queued behind that paste acts.
        const QStringList pasted{u"key 9 down flags 100000 tap 0"_s,
                                 u"key 9 up flags 100000 tap 0"_s, post(didPaste)};
        f->checks.clear();
        center.log.clear();
        center.deliver(shouldPaste);
        QCOMPARE(center.log, pasted);
        center.log.clear();
        center.deliver(shouldTerminate);
        for (const char* command :
             {shouldPaste, shouldRequestAccess, shouldStartCheckingForAccess, shouldTerminate})
            center.deliver(command);
        QTest::qWait(quietMs);
        QCOMPARE(center.log, QStringList());
        QVERIFY(f->checks.isEmpty());

        init();
        onTerminationSignal([] {});
        QVERIFY(f->delegate.applicationDidFinishLaunching());
        f->duringPost = std::bind(::raise, SIGTERM);
        center.log.clear();
        for (int queued = 0; queued < 3; ++queued)
            center.deliver(shouldPaste);
        QCOMPARE(center.log, pasted);
    }

private:
    static QString observe(const char* name) { return u"observe "_s + QLatin1String(name); }
    static QString post(const char* name) { return u"post "_s + QLatin1String(name); }
    static DarwinNotificationsManager::Block recording(const char* what) {
        return [what] {
            events << QLatin1String(what);
        };
    }

    std::optional<Agent> f;
};

QTEST_GUILESS_MAIN(AppDelegateTest)
#include "tst_appdelegate.moc"
