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
        QVERIFY(manager.registerForNotificationName(QStringLiteral("n.paste"), recording("first")));
        QVERIFY(manager.registerForNotificationName(QStringLiteral("n.paste"), recording("last")));
        recordingCenter().deliver(QStringLiteral("n.paste"));
        // The center holds a subscription per registration; each delivery runs the last block.
        QCOMPARE(events.mid(0, 3),
                 QStringList({QStringLiteral("name: n.paste"), QStringLiteral("userinfo: (null)"),
                              QStringLiteral("last")}));
        QVERIFY(!events.contains(QStringLiteral("first")));
    }

    void refusedSubscriptionIsReported() {
        recordingCenter().refused << QStringLiteral("n.refused");
        QVERIFY(!DarwinNotificationsManager::sharedInstance().registerForNotificationName(
            QStringLiteral("n.refused"), recording("block")));
    }

    void blockMayRegisterAgainWhileRunning() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        const QString name = QStringLiteral("n.again");
        QVERIFY(manager.registerForNotificationName(name, [&manager, name] {
            events << QStringLiteral("old");
            QVERIFY(manager.registerForNotificationName(name, recording("new")));
            events << QStringLiteral("old still running");
        }));
        manager.notificationCallbackReceivedWithName(name);
        manager.notificationCallbackReceivedWithName(name);
        QCOMPARE(events, QStringList({QStringLiteral("old"), QStringLiteral("old still running"),
                                      QStringLiteral("new")}));
    }

    void deliveryGoesToTheSharedInstanceWhoeverSubscribed() {
        DarwinNotificationsManager other(recordingCenter());
        QVERIFY(other.registerForNotificationName(QStringLiteral("n"), recording("other")));
        QVERIFY(DarwinNotificationsManager::sharedInstance().registerForNotificationName(
            QStringLiteral("n"), recording("shared")));
        recordingCenter().deliver(QStringLiteral("n"));
        QCOMPARE(events.count(QStringLiteral("shared")), 2);
        QVERIFY(!events.contains(QStringLiteral("other")));
        // A name without a block is logged and runs nothing.
        events.clear();
        DarwinNotificationsManager::darwinNotificationCallback(
            nullptr, nullptr, QStringLiteral("n.stranger"), nullptr, nullptr);
        QCOMPARE(events, QStringList({QStringLiteral("name: n.stranger"),
                                      QStringLiteral("userinfo: (null)")}));
    }
};

QTEST_GUILESS_MAIN(NotificationsManagerTest)
#include "tst_notificationsmanager.moc"
