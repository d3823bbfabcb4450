#include "AccessibilityTrust.h"
#include "AppDelegate.h"
#include "DarwinNotificationsManager.h"
#include "KeyboardEvents.h"
#include "NotificationNames.h"
#include "RecordingCenter.h"
#include "RunningApplications.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {
QString observe(const char* name) {
    return u"observe "_s + QLatin1String(name);
}
QString post(const char* name) {
    return u"post "_s + QLatin1String(name);
}
void deliver(const char* name) {
    recordingCenter().deliver(QLatin1String(name));
}

// The manager's log lines and the blocks it runs, in the one order in which they happen.
QStringList events;
void recordMessage(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (QLatin1String(context.category) == QLatin1String("kelmo.notifications"))
        events << message;
}
DarwinNotificationsManager::Block recording(const char* what) {
    return [what] {
        events << QLatin1String(what);
    };
}

// Keystrokes go into the center's log, so that their order against the posts shows.
class RecordingKeyboard final : public KeyboardEventPoster {
public:
    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t key, bool down,
                                                     QString& whyNot) override {
        if (failing) {
            whyNot = u"no keyboard here"_s;
            return std::nullopt;
        }
        KeyboardEvent event;
        event.virtualKey = key;
        event.keyDown = down;
        return event;
    }
    void postEvents(int tap, std::span<const KeyboardEvent> chord, Posted posted) override {
        for (const KeyboardEvent& e : chord)
            recordingCenter().log << u"key %1 %2 flags %3 tap %4"_s.arg(e.virtualKey)
                                         .arg(QLatin1String(e.keyDown ? "down" : "up"))
                                         .arg(e.flags, 0, 16)
                                         .arg(tap);
        posted({});
    }
    bool failing = false;
};

class FakeTrust final : public AccessibilityTrust {
public:
    bool isProcessTrusted(bool prompt) override {
        checks << prompt;
        return trusted;
    }
    bool trusted = false;
    QList<bool> checks;
};

class NoApplications final : public RunningApplications {
public:
    bool isRunning(const QString&) override { return false; }
};

constexpr auto poll = std::chrono::milliseconds(10);
// Proving that nothing more happens takes waiting; this is how long.
constexpr int quietMs = 200;
} // namespace

// The notification manager and the agent's logic against a recording center: what they
// subscribe, log, post and type, in order.
class AppDelegateTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { qInstallMessageHandler(recordMessage); }
    void init() {
        events.clear();
        recordingCenter().reset();
        keyboard.failing = false;
        trust.trusted = false;
        trust.checks.clear();
        delegate.emplace(applications, keyboard, trust,
                         AgentIntervals{std::chrono::minutes(1), poll});
    }

    void managerLogsEachDeliveryThenRunsTheBlockStoredLast() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        QVERIFY(manager.registerForNotificationName(u"n.paste"_s, recording("first")));
        QVERIFY(manager.registerForNotificationName(u"n.paste"_s, recording("last")));
        recordingCenter().deliver(u"n.paste"_s);
        // The center holds a subscription per registration; each delivery runs the last block.
        QCOMPARE(events.mid(0, 3),
                 QStringList({u"name: n.paste"_s, u"userinfo: (null)"_s, u"last"_s}));
        QVERIFY(!events.contains(u"first"_s));
        // Deliveries go to the shared instance, whoever subscribed; a name without a block is
        // logged and runs nothing.
        DarwinNotificationsManager other(recordingCenter());
        QVERIFY(other.registerForNotificationName(u"n.paste"_s, recording("other")));
        events.clear();
        recordingCenter().deliver(u"n.paste"_s);
        DarwinNotificationsManager::darwinNotificationCallback(nullptr, nullptr, u"n.none"_s,
                                                               nullptr, nullptr);
        QVERIFY(events.count(u"last"_s) >= 1 && !events.contains(u"other"_s));
        QCOMPARE(events.mid(events.size() - 2),
                 QStringList({u"name: n.none"_s, u"userinfo: (null)"_s}));
    }

    void managerBlockMayRegisterAgainWhileRunning() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        const QString name = u"n.again"_s;
        QVERIFY(manager.registerForNotificationName(name, [&manager, name] {
            events << u"old"_s;
            QVERIFY(manager.registerForNotificationName(name, recording("new")));
            events << u"old still running"_s;
        }));
        manager.notificationCallbackReceivedWithName(name);
        manager.notificationCallbackReceivedWithName(name);
        QCOMPARE(events, QStringList({u"old"_s, u"old still running"_s, u"new"_s}));
    }

    void launchSubscribesEveryCommandBeforeAnnouncing() {
        QVERIFY(delegate->applicationDidFinishLaunching());
        QCOMPARE(recordingCenter().log,
                 QStringList({observe(NotificationName::shouldPaste),
                              observe(NotificationName::shouldTerminate),
                              observe(NotificationName::shouldRequestAccess),
                              observe(NotificationName::shouldStartCheckingForAccess),
                              post(NotificationName::didFinishLaunching)}));
    }

    void refusedSubscriptionAnnouncesNothing() {
        for (const char* refused :
             {NotificationName::shouldPaste, NotificationName::shouldStartCheckingForAccess}) {
            init();
            recordingCenter().refused << QLatin1String(refused);
            QVERIFY(!delegate->applicationDidFinishLaunching());
            QVERIFY(recordingCenter().log.filter(u"post"_s).isEmpty());
        }
    }

    void pasteIsCommandVThenTheAnswerAndNothingActsAfterTheEnd() {
        QVERIFY(delegate->applicationDidFinishLaunching());
        recordingCenter().log.clear();
        deliver(NotificationName::shouldPaste);
        QCOMPARE(recordingCenter().log,
                 QStringList({u"key 9 down flags 100000 tap 0"_s, u"key 9 up flags 100000 tap 0"_s,
                              post(NotificationName::didPaste)}));
        recordingCenter().log.clear();
        deliver(NotificationName::shouldTerminate);
        for (const char* command :
             {NotificationName::shouldPaste, NotificationName::shouldRequestAccess,
              NotificationName::shouldStartCheckingForAccess, NotificationName::shouldTerminate})
            deliver(command);
        QTest::qWait(quietMs);
        QCOMPARE(recordingCenter().log, QStringList());
        QVERIFY(trust.checks.isEmpty());
    }

    void pasteWithoutEventsTypesAndClaimsNothing() {
        QVERIFY(delegate->applicationDidFinishLaunching());
        recordingCenter().log.clear();
        keyboard.failing = true;
        deliver(NotificationName::shouldPaste);
        QCOMPARE(recordingCenter().log, QStringList());
    }

    void twoStartsMakeOnePollThatEndsOnTrust() {
        QVERIFY(delegate->applicationDidFinishLaunching());
        deliver(NotificationName::shouldStartCheckingForAccess);
        deliver(NotificationName::shouldStartCheckingForAccess);
        QTRY_VERIFY(trust.checks.size() >= 3);
        QVERIFY(!trust.checks.contains(true));
        trust.trusted = true;
        QTRY_COMPARE(recordingCenter().log.count(post(NotificationName::accessWasEnabled)), 1);
        const qsizetype checks = trust.checks.size();
        QTest::qWait(quietMs);
        QCOMPARE(recordingCenter().log.count(post(NotificationName::accessWasEnabled)), 1);
        QCOMPARE(trust.checks.size(), checks);
    }

    void requestAnswersAtOnceWhenTrustedAndStopsAFreshPoll() {
        QVERIFY(delegate->applicationDidFinishLaunching());
        trust.trusted = true;
        deliver(NotificationName::shouldStartCheckingForAccess);
        deliver(NotificationName::shouldRequestAccess);
        QCOMPARE(recordingCenter().log.count(post(NotificationName::accessWasEnabled)), 1);
        QTest::qWait(quietMs);
        QCOMPARE(trust.checks, QList<bool>{true});
    }

    void requestWithoutTrustPromptsAndStartsNothing() {
        QVERIFY(delegate->applicationDidFinishLaunching());
        deliver(NotificationName::shouldRequestAccess);
        QTest::qWait(quietMs);
        QCOMPARE(trust.checks, QList<bool>{true});
        QVERIFY(!recordingCenter().log.contains(post(NotificationName::accessWasEnabled)));
    }

private:
    NoApplications applications;
    RecordingKeyboard keyboard;
    FakeTrust trust;
    std::optional<AppDelegate> delegate;
};

QTEST_GUILESS_MAIN(AppDelegateTest)
#include "tst_appdelegate.moc"
