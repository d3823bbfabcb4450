#include "BusPeer.h"
#include "LineProcess.h"
#include "PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QTest>

namespace {
const QString notify = QStringLiteral(KELMO_NOTIFY_EXECUTABLE);

int run(const QStringList& arguments, QStringList* errors = nullptr,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    LineProcess tool;
    tool.start(notify, arguments, env);
    if (!tool.waitForExit(20000))
        return -1;
    if (errors)
        *errors = tool.errors();
    return tool.exitCode();
}
} // namespace

class KelmoNotifyTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        bus = std::make_unique<PrivateBus>();
        QVERIFY(bus->isRunning());
    }
    void cleanup() { bus.reset(); }

    void postDeliversInOrderBeforeItReturns() {
        BusPeer peer(bus->connection());
        peer.observe({QStringLiteral("a.one"), QStringLiteral("a.two")});
        QCOMPARE(run({QStringLiteral("post"), QStringLiteral("a.one"), QStringLiteral("a.two"),
                      QStringLiteral("a.one")}),
                 0);
        QVERIFY(peer.waitFor(QStringLiteral("a.one"), 2));
        QCOMPARE(peer.received(), QStringList({QStringLiteral("a.one"), QStringLiteral("a.two"),
                                               QStringLiteral("a.one")}));
    }

    void waitPrintsArrivalsAndEndsWhenAllCame() {
        LineProcess waiter;
        waiter.start(notify,
                     {QStringLiteral("wait"), QStringLiteral("--timeout"), QStringLiteral("20"),
                      QStringLiteral("b.x"), QStringLiteral("b.y"), QStringLiteral("--"), notify,
                      QStringLiteral("post"), QStringLiteral("b.y"), QStringLiteral("b.other"),
                      QStringLiteral("b.x")});
        QVERIFY(waiter.waitForExit(20000));
        QCOMPARE(waiter.exitCode(), 0);
        QCOMPARE(waiter.output(), QStringList({QStringLiteral("b.y"), QStringLiteral("b.x")}));
    }

    void waitTimesOut() {
        QStringList errors;
        QCOMPARE(run({QStringLiteral("wait"), QStringLiteral("--timeout"), QStringLiteral("0.2"),
                      QStringLiteral("c.never")},
                     &errors),
                 1);
        QVERIFY(errors.join(u'\n').contains(QStringLiteral("c.never")));
    }

    void watchStampsWhatItObserves() {
        LineProcess watcher;
        watcher.start(notify, {QStringLiteral("watch"), QStringLiteral("d.wanted")});
        QVERIFY(QTest::qWaitFor(
            [&] {
                return watcher.errors().contains(QStringLiteral("kelmo-notify: watching d.wanted"));
            },
            10000));
        BusPeer peer(bus->connection());
        peer.post(QStringLiteral("d.unwanted"));
        peer.post(QStringLiteral("d.wanted"));
        QVERIFY(watcher.waitForLineCount(1));
        const QString line = watcher.output().first();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} d\\.wanted$"))
                     .match(line)
                     .hasMatch(),
                 qPrintable(line));
        watcher.terminate();
        QVERIFY(watcher.waitForExit());
        QVERIFY(!watcher.output().join(u'\n').contains(QStringLiteral("unwanted")));
    }

    void holdOwnsTheIdWhileItsCommandRuns() {
        const QString id = QStringLiteral("co.ambertide.kelmo");
        QDBusConnectionInterface* daemon = bus->connection().interface();
        LineProcess holder;
        holder.start(notify, {QStringLiteral("hold"), id, QStringLiteral("--"), notify,
                              QStringLiteral("wait"), QStringLiteral("e.release")});
        QVERIFY(QTest::qWaitFor([&] { return daemon->isServiceRegistered(id).value(); }, 10000));

        QStringList errors;
        QCOMPARE(run({QStringLiteral("hold"), id}, &errors), 1);
        QVERIFY(errors.join(u'\n').contains(QStringLiteral("owned by another process")));

        BusPeer peer(bus->connection());
        QVERIFY(QTest::qWaitFor(
            [&] {
                peer.post(QStringLiteral("e.release"));
                return !holder.isRunning();
            },
            10000));
        QCOMPARE(holder.exitCode(), 0);
        QVERIFY(QTest::qWaitFor([&] { return !daemon->isServiceRegistered(id).value(); }, 10000));
    }

    void holdPassesOnTheCommandsFailure() {
        QCOMPARE(run({QStringLiteral("hold"), QStringLiteral("f.id"), QStringLiteral("--"),
                      QStringLiteral("false")}),
                 1);
        QCOMPARE(run({QStringLiteral("hold"), QStringLiteral("f.id"), QStringLiteral("--"),
                      QStringLiteral("/nonexistent/program")}),
                 127);
    }

    void badArgumentsShowUsage_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("nothing") << QStringList();
        QTest::newRow("unknown") << QStringList{QStringLiteral("shout")};
        QTest::newRow("wait nothing") << QStringList{QStringLiteral("wait")};
        QTest::newRow("hold dash")
            << QStringList{QStringLiteral("hold"), QStringLiteral("a"), QStringLiteral("--")};
    }
    void badArgumentsShowUsage() {
        QFETCH(QStringList, arguments);
        QStringList errors;
        QCOMPARE(run(arguments, &errors), 2);
        QVERIFY(errors.join(u'\n').contains(QStringLiteral("usage: kelmo-notify")));
    }

    void noSessionBusIsSaidPlainly() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=/nonexistent/bus"));
        QStringList errors;
        QCOMPARE(run({QStringLiteral("post"), QStringLiteral("h")}, &errors, env), 1);
        QVERIFY(errors.join(u'\n').contains(QStringLiteral("no session bus")));
    }

private:
    std::unique_ptr<PrivateBus> bus;
};

QTEST_GUILESS_MAIN(KelmoNotifyTest)
#include "tst_kelmonotify.moc"
