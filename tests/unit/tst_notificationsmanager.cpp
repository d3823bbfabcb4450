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
        subscriptions.removeIf([&](const Subscription& s) { return s.observer == observer; });
    }
    void postNotification(const QString&, const QVariantMap*) override {}
    void flush() override {}

    // What the platform does when `name` is posted somewhere on the machine.
    void deliver(const QString& name) {
        for (const Subscription& s : QList<Subscription>(subscriptions))
            if (s.name == name)
                s.callback(this, s.observer, name, nullptr, nullptr);
    }

    QList<Subscription> subscriptions;
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
        qInstallMessageHandler(recordMessage);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

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
};

QTEST_GUILESS_MAIN(NotificationsManagerTest)
#include "tst_notificationsmanager.moc"
