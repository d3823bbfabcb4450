#include "DarwinNotificationsManager.h"
#include "NotifyCenter.h"

#include <QTest>

namespace {

// Records what the manager asks of the center; delivers by hand.
class RecordingCenter final : public NotifyCenter {
public:
    struct Subscription {
        void* observer;
        NotifyCallback callback;
        QString name;
    };
    void addObserver(void* observer, NotifyCallback callback, const QString& name) override {
        subscriptions << Subscription{observer, callback, name};
    }
    void removeEveryObserver(void* observer) override {
        removed << observer;
        subscriptions.removeIf([&](const Subscription& s) { return s.observer == observer; });
    }
    void postNotification(const QString& name, const QVariantMap* userInfo) override {
        posts << name;
        postedUserInfo << (userInfo ? *userInfo : QVariantMap{{QStringLiteral("null"), true}});
    }
    void flush() override {}

    // What the platform does when `name` is posted somewhere on the machine.
    void deliver(const QString& name) {
        for (const Subscription& s : QList<Subscription>(subscriptions))
            if (s.name == name)
                s.callback(this, s.observer, name, nullptr, nullptr);
    }

    QList<Subscription> subscriptions;
    QList<void*> removed;
    QStringList posts;
    QList<QVariantMap> postedUserInfo;
};

RecordingCenter& recordingCenter() {
    static RecordingCenter center;
    return center;
}

// Everything that happens, log lines and blocks, in one sequence.
QStringList events;

void recordMessage(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (QLatin1String(context.category) == QLatin1String("kelmo.notifications"))
        events << message;
}

} // namespace

NotifyCenter& darwinNotifyCenter() {
    return recordingCenter();
}

class NotificationsManagerTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        events.clear();
        recordingCenter().subscriptions.clear();
        recordingCenter().posts.clear();
        recordingCenter().postedUserInfo.clear();
        qInstallMessageHandler(recordMessage);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void sharedInstanceIsOneInstance() {
        QCOMPARE(&DarwinNotificationsManager::sharedInstance(),
                 &DarwinNotificationsManager::sharedInstance());
    }

    void deliveryLogsNameAndUserInfoBeforeTheBlockRuns() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        manager.registerForNotificationName(QStringLiteral("co.ambertide.kelmo-helper.shouldPaste"),
                                            [] { events << QStringLiteral("block"); });
        recordingCenter().deliver(QStringLiteral("co.ambertide.kelmo-helper.shouldPaste"));
        QCOMPARE(events,
                 QStringList({QStringLiteral("name: co.ambertide.kelmo-helper.shouldPaste"),
                              QStringLiteral("userinfo: (null)"), QStringLiteral("block")}));
    }

    void secondRegistrationReplacesTheBlockAndSubscribesAgain() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        const QString name = QStringLiteral("co.ambertide.kelmo-helper.shouldTerminate");
        manager.registerForNotificationName(name, [] { events << QStringLiteral("first"); });
        manager.registerForNotificationName(name, [] { events << QStringLiteral("second"); });
        QCOMPARE(recordingCenter().subscriptions.size(), 2);
        QCOMPARE(recordingCenter().subscriptions.at(1).observer, &manager);
        recordingCenter().deliver(name);
        // The center may have two subscriptions; each delivery runs the block stored last.
        QVERIFY(!events.contains(QStringLiteral("first")));
        QVERIFY(events.contains(QStringLiteral("second")));
    }

    void blockMayRegisterAgainWhileRunning() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        const QString name = QStringLiteral("co.ambertide.kelmo-helper.shouldRequestAccess");
        manager.registerForNotificationName(name, [&manager, name] {
            events << QStringLiteral("old");
            manager.registerForNotificationName(name, [] { events << QStringLiteral("new"); });
            events << QStringLiteral("old still running");
        });
        manager.notificationCallbackReceivedWithName(name);
        manager.notificationCallbackReceivedWithName(name);
        QCOMPARE(events, QStringList({QStringLiteral("old"), QStringLiteral("old still running"),
                                      QStringLiteral("new")}));
    }

    void unknownNameRunsNothing() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        manager.notificationCallbackReceivedWithName(
            QStringLiteral("co.ambertide.kelmo-helper.nobody"));
        DarwinNotificationsManager::darwinNotificationCallback(
            &recordingCenter(), nullptr, QStringLiteral("stranger"), nullptr, nullptr);
        QCOMPARE(events, QStringList({QStringLiteral("name: stranger"),
                                      QStringLiteral("userinfo: (null)")}));
    }

    void deliveryGoesToTheSharedInstanceWhoeverSubscribed() {
        DarwinNotificationsManager other(recordingCenter());
        other.registerForNotificationName(QStringLiteral("n"),
                                          [] { events << QStringLiteral("other"); });
        DarwinNotificationsManager::sharedInstance().registerForNotificationName(
            QStringLiteral("n"), [] { events << QStringLiteral("shared"); });
        recordingCenter().deliver(QStringLiteral("n"));
        QCOMPARE(events.count(QStringLiteral("shared")), 2);
        QVERIFY(!events.contains(QStringLiteral("other")));
    }

    void postsCarryTheNameAlone() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        manager.postNotificationWithName(QStringLiteral("co.ambertide.kelmo-helper.didPaste"));
        const QVariantMap info{{QStringLiteral("k"), 1}};
        manager.postNotificationWithName(QStringLiteral("co.ambertide.kelmo-helper.didPaste"),
                                         &info);
        QCOMPARE(recordingCenter().posts.size(), 2);
        QCOMPARE(recordingCenter().postedUserInfo.at(0),
                 QVariantMap({{QStringLiteral("null"), true}}));
        QCOMPARE(recordingCenter().postedUserInfo.at(1), info);
    }

    void destroyedInstanceUnsubscribesEverything() {
        void* address = nullptr;
        {
            DarwinNotificationsManager local(recordingCenter());
            address = &local;
            local.registerForNotificationName(QStringLiteral("a"), [] {});
            local.registerForNotificationName(QStringLiteral("b"), [] {});
        }
        QVERIFY(recordingCenter().removed.contains(address));
        for (const auto& s : recordingCenter().subscriptions)
            QVERIFY(s.observer != address);
    }
};

QTEST_GUILESS_MAIN(NotificationsManagerTest)
#include "tst_notificationsmanager.moc"
