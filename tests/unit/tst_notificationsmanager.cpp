#include "DarwinNotificationsManager.h"
#include "RecordingCenter.h"

#include <QTest>

namespace {
// Log lines and blocks, in the one order in which they happen.
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
} // namespace

class NotificationsManagerTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        events.clear();
        recordingCenter().reset();
        qInstallMessageHandler(recordMessage);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void deliveryLogsNameAndUserInfoThenRunsTheBlockStoredLast() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        QVERIFY(manager.registerForNotificationName(u"n.paste"_qs, recording("first")));
        QVERIFY(manager.registerForNotificationName(u"n.paste"_qs, recording("last")));
        recordingCenter().deliver(u"n.paste"_qs);
        // The center holds a subscription per registration; each delivery runs the last block.
        QCOMPARE(events.mid(0, 3),
                 QStringList({u"name: n.paste"_qs, u"userinfo: (null)"_qs, u"last"_qs}));
        QVERIFY(!events.contains(u"first"_qs));
    }

    void refusedSubscriptionIsReported() {
        recordingCenter().refused << u"n.refused"_qs;
        QVERIFY(!DarwinNotificationsManager::sharedInstance().registerForNotificationName(
            u"n.refused"_qs, recording("block")));
    }

    void blockMayRegisterAgainWhileRunning() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        const QString name = u"n.again"_qs;
        QVERIFY(manager.registerForNotificationName(name, [&manager, name] {
            events << u"old"_qs;
            QVERIFY(manager.registerForNotificationName(name, recording("new")));
            events << u"old still running"_qs;
        }));
        manager.notificationCallbackReceivedWithName(name);
        manager.notificationCallbackReceivedWithName(name);
        QCOMPARE(events, QStringList({u"old"_qs, u"old still running"_qs, u"new"_qs}));
    }

    void deliveryGoesToTheSharedInstanceWhoeverSubscribed() {
        DarwinNotificationsManager other(recordingCenter());
        QVERIFY(other.registerForNotificationName(u"n"_qs, recording("other")));
        QVERIFY(DarwinNotificationsManager::sharedInstance().registerForNotificationName(
            u"n"_qs, recording("shared")));
        recordingCenter().deliver(u"n"_qs);
        QCOMPARE(events.count(u"shared"_qs), 2);
        QVERIFY(!events.contains(u"other"_qs));
        // A name without a block is logged and runs nothing.
        events.clear();
        DarwinNotificationsManager::darwinNotificationCallback(nullptr, nullptr, u"n.stranger"_qs,
                                                               nullptr, nullptr);
        QCOMPARE(events, QStringList({u"name: n.stranger"_qs, u"userinfo: (null)"_qs}));
    }
};

QTEST_GUILESS_MAIN(NotificationsManagerTest)
#include "tst_notificationsmanager.moc"
