#include "TestSupport.h"

#include <csignal>

using namespace Qt::StringLiterals;

namespace {
const QString notify = QStringLiteral(KELMO_NOTIFY_EXECUTABLE);

QStringList words(const char* text) {
    return QString::fromUtf8(text).split(u' ', Qt::SkipEmptyParts);
}

// How a run ends: its arguments, status, output, and what its errors say.
using Ending = std::tuple<QStringList, int, QStringList, QString>;
} // namespace

class KelmoNotifyTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY(bus.emplace().isRunning()); }

    // Help; posts delivered in order before post returns, and none without a bus; watch shows
    // each name on a line of its own; hold owns the id while its command runs.
    void helpPostWatchAndHold() {
        for (const char* line : {"--help", "post --help", "wait --timeout 1 a -h"}) {
            const Run help = run(notify, words(line));
            QCOMPARE(help.status, 0);
            QVERIFY(help.output.value(0).startsWith(u"usage: kelmo-notify"_s));
        }
        BusPeer peer(bus->connection());
        QVERIFY(peer.observe({u"a.one"_s, u"a.two"_s}));
        QCOMPARE(run(notify, words("post a.one a.two a.one")).status, 0);
        QTRY_COMPARE_WITH_TIMEOUT(peer.received(), words("a.one a.two a.one"), 10000);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent/bus"_s);
        const Run busless = run(notify, words("post h"), env);
        QCOMPARE(busless.status, 1);
        QVERIFY(busless.errors.join(u'\n').contains(u"no session bus"_s));
        // A stopped bus takes the connection and never answers: the post gives up, and says so.
        ::kill(pid_t(bus->pid()), SIGSTOP);
        const Run stalled = run(notify, words("post h"));
        ::kill(pid_t(bus->pid()), SIGCONT);
        QCOMPARE(stalled.status, 1);
        QCOMPARE(stalled.errors, QStringList{u"kelmo-notify: the session bus does not answer"_s});
        const auto postUntilEnded = [&](LineProcess& process, const QString& name) {
            return QTest::qWaitFor([&] { return peer.post(name), !process.isRunning(); });
        };

        LineProcess watcher;
        watcher.start(notify, words("watch"));
        QTRY_COMPARE(watcher.errors(), QStringList{u"kelmo-notify: watching every name"_s});
        peer.post(u"d.one"_s);
        peer.post(u"forged\n12:00:00.000 d.two\\\x1b"_s);
        const QRegularExpression stamp(u"^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} "_s);
        QTRY_COMPARE_WITH_TIMEOUT(
            watcher.output().replaceInStrings(stamp, QString()),
            QStringList({u"d.one"_s, u"forged\\n12:00:00.000 d.two\\\\\\x1b"_s}), 10000);
        watcher.process().terminate();
        QVERIFY(watcher.waitForExit());
        QCOMPARE(watcher.exitCode(), 0);

        // Nobody reads it any more: the next name ends it, and on a quiet bus the reader's end.
        LineProcess pipeline;
        pipeline.start(u"sh"_s, {u"-c"_s, u"'%1' watch d.more | head -1"_s.arg(notify)});
        QVERIFY(postUntilEnded(pipeline, u"d.more"_s));
        LineProcess quiet;
        quiet.start(u"sh"_s, {u"-c"_s, u"'%1' watch d.never | true"_s.arg(notify)});
        QVERIFY(quiet.waitForExit());

        // A long list goes whole and in order; a name that isn't UTF-8 is refused, not mangled.
        QStringList many;
        for (int i = 0; i < 3000; ++i)
            many << u"m.%1"_s.arg(i);
        BusPeer counter(bus->connection());
        QVERIFY(counter.observe({QString()})); // every name
        QCOMPARE(run(notify, QStringList{u"post"_s} + many).status, 0);
        QTRY_COMPARE_WITH_TIMEOUT(counter.received(), many, 10000);
        const Run mangled =
            run(u"sh"_s, {u"-c"_s, u"'%1' post \"$(printf 'a.\\377')\""_s.arg(notify)});
        QCOMPARE(mangled.status, 2);
        QVERIFY2(mangled.errors.join(u'\n').contains(u"UTF-8"_s),
                 qPrintable(mangled.errors.join(u'\n')));

        const QString id = u"co.ambertide.kelmo"_s;
        QDBusConnectionInterface* daemon = bus->connection().interface();
        LineProcess holder;
        holder.start(notify, QStringList{u"hold"_s, id, u"--"_s, notify} + words("wait e.release"));
        QVERIFY(QTest::qWaitFor([&] { return daemon->isServiceRegistered(id).value(); }));
        const Run second = run(notify, {u"hold"_s, id});
        QCOMPARE(second.status, 1);
        QVERIFY(second.errors.join(u'\n').contains(u"owned by another process"_s));
        QVERIFY(postUntilEnded(holder, u"e.release"_s));
        QCOMPARE(holder.exitCode(), 0);
        QVERIFY(QTest::qWaitFor([&] { return !daemon->isServiceRegistered(id).value(); }));

        // A wait that is over ends its command's whole group, whatever the command started.
        QTemporaryDir dir;
        const QString child = dir.filePath(u"child"_s);
        const Run result = run(notify, words("wait --timeout 0.5 g.never -- sh -c")
                                           << u"sleep 60 & echo $! > '%1'; sleep 61"_s.arg(child));
        QCOMPARE(result.status, 1);
        QCOMPARE(result.errors, QStringList{u"kelmo-notify: timed out waiting for g.never"_s});
        const QString pid = QString::fromLatin1(readFile(child).trimmed());
        QVERIFY(!pid.isEmpty());
        // Gone (no state to read), or a zombie that a container's first process may never reap.
        QTRY_VERIFY(readFile(u"/proc/%1/stat"_s.arg(pid)).split(' ').value(2, "Z") == "Z");
    }

    void endsWithItsStatus_data() {
        QTest::addColumn<Ending>("ending");
        // wait succeeds by the names alone: the command's own status proves nothing.
        QTest::newRow("all arrive") << Ending{words("wait --timeout 20 b.x b.y --")
                                                  << notify << words("post b.y b.other b.x"),
                                              0, words("b.y b.x"), QString()};
        QTest::newRow("never arrive, command succeeds") << Ending{
            words("wait --timeout 0.3 c.never -- true"), 1, {}, u"timed out waiting for c.never"_s};
        QTest::newRow("arrive, command fails") << Ending{
            words("wait --timeout 20 d.x -- sh -c") + QStringList{notify + u" post d.x; exit 3"_s},
            0, words("d.x"), u"exit status 3"_s};
        QTest::newRow("command cannot run")
            << Ending{words("wait --timeout 20 e.x -- /nonexistent/x"), 127, {}, u"cannot run"_s};
        QTest::newRow("hold, command fails") << Ending{words("hold f.id -- false"), 1, {}, {}};
        QTest::newRow("hold, command cannot run")
            << Ending{words("hold f.id -- /nonexistent/program"), 127, {}, {}};
        QTest::newRow("--version") << Ending{
            words("--version"), 0, QStringList{QStringLiteral("kelmo-notify " KELMO_VERSION)}, {}};
        for (const char* line :
             {"", "shout", "wait", "wait a --", "hold a --", "post", "wait --timeout inf a",
              "wait --timeout nan a", "wait --timeout -1 a", "wait --timeout 1e9 a",
              "wait --timeout soon a", "post --bogus", "watch a -x"})
            QTest::newRow(line) << Ending{words(line), 2, {}, u"usage: kelmo-notify"_s};
        // A name longer than a match rule allows could be posted but never waited for.
        QTest::newRow("name too long") << Ending{
            QStringList{u"post"_s, QString(1000, u'n')}, 2, {}, u"could never be observed"_s};
    }
    void endsWithItsStatus() {
        QFETCH(Ending, ending);
        const auto& [arguments, status, output, error] = ending;
        const Run result = run(notify, arguments);
        QCOMPARE(result.status, status);
        QCOMPARE(result.output, output);
        QVERIFY2(result.errors.join(u'\n').contains(error), qPrintable(result.errors.join(u'\n')));
    }

private:
    std::optional<PrivateBus> bus;
};

QTEST_GUILESS_MAIN(KelmoNotifyTest)
#include "tst_kelmonotify.moc"
