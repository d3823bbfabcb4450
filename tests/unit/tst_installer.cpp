#include "DarwinNotificationsManager.h"
#include "DetachedLauncher.h"
#include "InstallerPlatform.h"
#include "LocalizedString.h"
#include "PosixFileManager.h"
#include "ResourcesDirectory.h"
#include "TestSupport.h"
#include "ViewController.h"

#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <cerrno>
#include <cstdio>

using namespace Qt::StringLiterals;
using namespace NotificationName;

namespace {
const QString helperId = name(BundleIdentifier::helper);

void changeMode(const QString& path, mode_t mode) {
    QVERIFY(::chmod(QFile::encodeName(path).constData(), mode) == 0);
}

void makeFifo(const QString& path) {
    QVERIFY(QFile::remove(path));
    QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0644) == 0);
}

// A nested dictionary names another executable first; only the top-level key counts.
QByteArray infoPlist(const char* executable, const QString& version = u"1"_s) {
    return u"<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>\n"
           "<key>CFBundleIdentifier</key><string>co.example.probe</string>\n"
           "<key>CFBundleVersion</key><string>%2</string>\n"
           "<key>Nested</key><dict><key>CFBundleExecutable</key><string>evil</string></dict>\n"
           "<key>LSUIElement</key><true/>\n"
           "<key>CFBundleExecutable</key><string>%1</string>\n</dict></plist>\n"_s
               .arg(QLatin1String(executable), version)
               .toUtf8();
}

// An upgrade: the installed and the carried version (empty: an unreadable Info.plist), whether
// the installed agent is replaced, whether the old one ends when asked.
using Upgrade = std::tuple<QString, QString, bool, bool>;

// The wizard with the real file system and the rest recorded, as a window test can't let it
// loose: which applications run, launching one, the pause before a launch, a modal error box.
struct Wizard final : RunningApplications, ApplicationLauncher, ErrorPresentation {
    Wizard(const QString& resources, PosixFileManager::RenameAt2 rename)
        : files(rename)
        , bundle(resources) {}
    bool isRunning(const QString& id) override { return running.contains(id); }
    void launchApplication(const QString& path, Launched launched) override {
        log << u"launch "_s + path;
        holdLaunches ? void(pending << std::move(launched)) : launched(failure);
    }
    void presentError(QWidget*, const Error& e) override {
        log << u"error %1: %2"_s.arg(e.code).arg(e.localizedDescription);
        duringError ? duringError() : void(); // the box is open
    }

    QSet<QString> running;
    std::optional<Error> failure;
    // A desktop that takes its time: launches wait here until the test ends them.
    bool holdLaunches = false;
    QList<Launched> pending;
    QStringList log; // "pause N s", "launch PATH", "error CODE: TEXT", in the order they happen
    PosixFileManager files;
    ResourcesDirectory bundle;
    std::function<void()> duringPause, duringError;
    ViewController window{{*this, files, bundle, *this, *this,
                           [this](std::chrono::seconds pause) {
                               log << u"pause %1 s"_s.arg(pause.count());
                               duringPause ? duringPause() : void();
                           },
                           "STEP2.GRANT_AGAIN", std::chrono::milliseconds(100),
                           std::chrono::seconds(3)}};
};
} // namespace

// The wizard in the test's language (English, then German) installing into a temporary home with
// the real file system; launches, running applications and error boxes are recorded.
class InstallerTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        QVERIFY(bus.isRunning());
        installTranslations(QLocale::system());
        QVERIFY(peer.observe({shouldStartCheckingForAccess, shouldRequestAccess, shouldTerminate}));
    }
    void init() {
        w.reset(); // before the home it installs into
        home.emplace();
        qputenv("HOME", home->path().toUtf8());
        qunsetenv("XDG_DATA_HOME");
        dataHome = home->path() + u"/.local/share"_s;
        folder = dataHome + u"/Kelmo"_s;
        location = folder + u"/Kelmo Helper.app"_s;
        resources = home->path() + u"/Installer.app/Contents/Resources"_s;
        carried = resources + u"/Kelmo Helper.app"_s;
        writeFile(carried + u"/Contents/Info.plist"_s, "<plist/>");
        writeFile(carried + u"/Contents/MacOS/Kelmo Helper"_s, "#!/bin/sh\n", true);
        w.emplace(resources, nullptr);
    }

    // Every control shows its own key's text in the user's language; Return presses the button of
    // the step showing; step 2 asks for access and, should it not come, says how to give it again
    // (the system may list it as given while it no longer holds); accessWasEnabled shows step 3.
    void theWindowInTheUsersLanguage() {
        const std::pair<QWidget*, const char*> controls[] = {
            {w->window.step1TitleLabel, "STEP1.TITLE"}, {w->window.step1BodyLabel, "STEP1.BODY"},
            {w->window.step1Button, "STEP1.BUTTON"},    {w->window.step2TitleLabel, "STEP2.TITLE"},
            {w->window.step2BodyLabel, "STEP2.BODY"},   {w->window.step2Button, "STEP2.BUTTON"},
            {w->window.step3TitleLabel, "STEP3.TITLE"}, {w->window.step3Button, "STEP3.BUTTON"}};
        for (const auto& [control, key] : controls) {
            const QString text = control->property("text").toString();
            QVERIFY2(text == qtTrId(key) && text != QLatin1String(key), key);
        }
        QVERIFY(qtTrId("STEP2.GRANT_AGAIN") != u"STEP2.GRANT_AGAIN"_s);
        const bool german = QLocale::system().language() == QLocale::German;
        QCOMPARE(w->window.step1Button->text(), german ? u"Installieren"_s : u"Install"_s);
        // Only the wizard's events turn the page.
        QCOMPARE(w->window.tabView->currentIndex(), 0);
        QVERIFY(w->window.tabView->tabBar()->isHidden());

        w->window.show();
        QVERIFY(QTest::qWaitForWindowActive(&w->window));
        QVERIFY(w->window.step1Button->isDefault());
        QTRY_VERIFY(w->window.step1Button->hasFocus());
        w->window.tabView->setCurrentIndex(1);
        QVERIFY(w->window.step2Button->isDefault() && !w->window.step1Button->isDefault());
        QTRY_VERIFY(w->window.step2Button->hasFocus());

        // With the agent running, step 2 asks for access twice over and launches nothing.
        w->running << helperId;
        const QStringList before = peer.received();
        QTest::keyClick(&w->window, Qt::Key_Return);
        w->window.step2Button->click();
        QCOMPARE(receivedAfter(before, 2), requests + requests);
        QCOMPARE(w->log, QStringList());
        QCOMPARE(w->window.tabView->currentIndex(), 1);
        QTRY_COMPARE(w->window.step2BodyLabel->text(),
                     qtTrId("STEP2.BODY") + u"\n\n"_s + qtTrId("STEP2.GRANT_AGAIN"));

        // accessWasEnabled, from anyone, shows step 3 from any step, every time.
        for (int step : {0, 2}) {
            w->window.tabView->setCurrentIndex(step);
            peer.post(accessWasEnabled);
            QTRY_COMPARE(w->window.tabView->currentIndex(), 2);
            QTRY_VERIFY(w->window.step3Button->hasFocus());
        }
    }

    // The first install copies safely, waits and launches; then what is there is launched as it
    // is, or not at all when it runs, and asking for access never copies it again.
    void firstInstallThenWhatIsThere() {
        // Unpacked loosely: everyone may write everything.
        QCOMPARE(run(u"chmod"_s, {u"-R"_s, u"a+rwX"_s, carried}).status, 0);
        // A user who lets everyone write by default still gets an agent nobody else can change.
        const mode_t mask = ::umask(0);
        w->window.installHelper();
        ::umask(mask);
        QCOMPARE((QList{modeOf(dataHome), modeOf(folder), modeOf(location + u"/Contents"_s),
                        modeOf(location + u"/Contents/MacOS/Kelmo Helper"_s),
                        modeOf(location + u"/Contents/Info.plist"_s)}),
                 (QList<mode_t>{0700, 0755, 0755, 0755, 0644}));
        QCOMPARE(takeLog(), copyThenLaunch());
        QCOMPARE(w->window.tabView->currentIndex(), 1);
        QCOMPARE(entries(folder), QStringList{u"Kelmo Helper.app"_s});

        writeFile(location + u"/old-version"_s, "1");
        QVERIFY(QDir(carried).removeRecursively()); // never asked for when installed
        w->window.installHelper();
        QCOMPARE(entries(location), QStringList({u"Contents"_s, u"old-version"_s}));
        QCOMPARE(takeLog(), QStringList{launch()});

        // A running agent is neither launched nor looked for.
        w->running << helperId;
        QVERIFY(QDir(folder).removeRecursively());
        w->window.launchHelper(&w->window);
        QVERIFY(!QFileInfo::exists(folder));
        QCOMPARE(takeLog(), QStringList());
        QCOMPARE(w->window.tabView->currentIndex(), 1);

        w->running.clear();
        w->failure = Error{u"test"_s, 3, u"bundle gone"_s};
        w->window.requestAccess();
        QCOMPARE(w->log, QStringList({launch(), u"error 3: bundle gone"_s}));
        QCOMPARE(w->window.tabView->currentIndex(), 1);
    }

    // A desktop that takes its time to start the agent: step 2 shows once the start is over.
    // Posts are kept for no one, so access is asked for once the agent it started announced
    // itself (or has been silent too long), never after a failed start.
    void theStepsWaitForTheAgent() {
        w->holdLaunches = true;
        w->window.installHelper();
        QCOMPARE(w->log, copyThenLaunch());
        QCOMPARE(w->window.tabView->currentIndex(), 0);
        w->pending.takeFirst()(std::nullopt);
        QCOMPARE(w->window.tabView->currentIndex(), 1);

        const QStringList marker{name(shouldTerminate)};
        QStringList before = markedAfter({}); // earlier tests' posts are in
        w->window.requestAccess();
        w->pending.takeFirst()(std::nullopt);
        QCOMPARE(markedAfter(before), marker);
        peer.post(didFinishLaunching);
        QCOMPARE(receivedAfter(before, 1), marker + requests);

        // A failed start is shown, and nobody is asked, however long its box stays open.
        before = peer.received();
        w->window.requestAccess();
        w->duringError = [&] {
            QCOMPARE(receivedAfter(before, 1, 3500), QStringList());
        };
        w->pending.takeFirst()(Error{u"test"_s, 8, u"not today"_s});
        QCOMPARE(w->log.last(), u"error 8: not today"_s);
        peer.post(didFinishLaunching); // some other agent's
        QCOMPARE(markedAfter(before), marker);

        // An agent that never announces itself is asked all the same, once.
        before = peer.received();
        w->window.requestAccess();
        w->pending.takeFirst()(std::nullopt);
        QCOMPARE(receivedAfter(before, 1), requests);
        peer.post(didFinishLaunching);
        QCOMPARE(markedAfter(before), requests + marker);
    }

    // Another installer at work: while it holds the Kelmo folder, even shared, this one waits (else
    // it would take the other's copy in progress for an abandoned one and remove it). The access
    // its agent gets during the pause still shows step 3: the pause acts on nothing, so the
    // start's step 2 comes first.
    void anotherInstallerAtWork() {
        QVERIFY(QDir().mkpath(folder));
        const QString locked = home->filePath(u"locked"_s), done = home->filePath(u"done"_s);
        LineProcess other;
        other.start(u"flock"_s, {u"-s"_s, folder, u"sh"_s, u"-c"_s,
                                 u"touch \"$0\"; sleep 1; touch \"$1\""_s, locked, done});
        QTRY_VERIFY(QFile::exists(locked));
        w->duringPause = [&] {
            peer.post(accessWasEnabled);
            pauseBeforeLaunch(std::chrono::seconds(1));
        };
        w->window.installHelper();
        QCOMPARE(w->window.tabView->currentIndex(), 1);
        QVERIFY(QFile::exists(done));
        QCOMPARE(w->log, copyThenLaunch());
        QVERIFY(other.waitForExit());
        QTRY_COMPARE(w->window.tabView->currentIndex(), 2);
    }

    // Every failure is shown, stops the step, and leaves nothing half done.
    void failuresAreShownAndStopTheStep_data() {
        QTest::addColumn<QString>("shown"); // none: nothing fails
        QTest::newRow("Kelmo is a file") << u"couldn't be copied"_s;
        QTest::newRow("data folder is a file") << u"couldn't be created"_s;
        QTest::newRow("neither HOME nor XDG_DATA_HOME") << u"can't be found"_s;
        QTest::newRow("relative XDG_DATA_HOME is ignored") << QString();
        QTest::newRow("resource missing") << u"error 904: "_s + qtTrId("ERROR.904");
        QTest::newRow("copy fails half way") << u"couldn't be copied"_s;
        QTest::newRow("launch fails") << u"no launch today"_s;
    }
    void failuresAreShownAndStopTheStep() {
        QFETCH(QString, shown);
        const QByteArray problem = QTest::currentDataTag();
        if (problem == "Kelmo is a file")
            writeFile(folder, "not a folder");
        else if (problem == "data folder is a file")
            writeFile(dataHome, "not a folder");
        else if (problem == "neither HOME nor XDG_DATA_HOME")
            qunsetenv("HOME");
        else if (problem == "relative XDG_DATA_HOME is ignored")
            qputenv("XDG_DATA_HOME", "relative/data");
        else if (problem == "resource missing")
            QVERIFY(QDir(carried).removeRecursively());
        else if (problem == "launch fails")
            w->failure = Error{u"test"_s, 7, u"no launch today"_s};
        else {
            // What an installer killed mid-copy left, read-only in places; then plenty to copy
            // before a pipe, which no copy can take.
            const QString abandoned = folder + u"/.Kelmo Helper.app.partial-0dead0"_s;
            writeFile(abandoned + u"/Contents/MacOS/half"_s, "ha");
            changeMode(abandoned + u"/Contents"_s, 0500);
            for (int i = 0; i < 20; ++i)
                writeFile(carried + u"/Contents/Resources/file%1"_s.arg(i), "data");
            QVERIFY(::mkfifo(QFile::encodeName(carried + u"/Contents/pipe"_s), 0600) == 0);
        }
        w->window.installHelper();
        const bool launched = shown.isEmpty(), copied = launched || problem == "launch fails";
        const QStringList errors = w->log.filter(QRegularExpression(u"^error "_s));
        QCOMPARE(errors.size(), qsizetype(!launched));
        QCOMPARE(errors.filter(shown), errors);
        QCOMPARE(w->window.tabView->currentIndex(), launched ? 1 : 0);
        QCOMPARE(entries(folder), copied ? QStringList{u"Kelmo Helper.app"_s} : QStringList());
        QCOMPARE(w->log.count(u"pause 1 s"_s), qsizetype(copied));
        QVERIFY(!QFileInfo::exists(u"relative"_s));
        // Pressing again after a failed launch skips copy and wait and tries the launch again.
        if (problem == "launch fails") {
            w->failure.reset();
            w->window.installHelper();
            QCOMPARE(w->log.mid(3), QStringList{launch()});
            QCOMPARE(w->window.tabView->currentIndex(), 1);
        }
    }

    // Without rename flags, another installer's bundle that appears while this one copies still
    // stays as it is, and the agent counts as installed.
    void filesystemWithoutRenameFlagsStillNeverReplaces() {
        static QString appearsMeanwhile;
        appearsMeanwhile.clear();
        w.emplace(resources, [](const char* from, const char* to, unsigned flags) {
            if (flags == 0)
                return std::rename(from, to);
            if (!appearsMeanwhile.isEmpty())
                writeFile(appearsMeanwhile + u"/Contents/Info.plist"_s, "theirs");
            return errno = EINVAL, -1;
        });
        w->window.installHelper();
        QVERIFY(QFileInfo(location + u"/Contents/MacOS/Kelmo Helper"_s).isExecutable());
        QVERIFY(QDir(location).removeRecursively());
        appearsMeanwhile = location;
        w->window.installHelper();
        QCOMPARE(outcomes(), QStringList({launch(), launch()}));
        QCOMPARE(entries(location + u"/Contents"_s), QStringList{u"Info.plist"_s});
        QCOMPARE(entries(folder), QStringList{u"Kelmo Helper.app"_s});
    }

    // Only an older agent is replaced, whole and in one step; the old one is ended before the
    // new one starts, and one that won't end stops the step.
    void upgradeReplacesOnlyAnOlderAgent_data() {
        QTest::addColumn<Upgrade>("upgrade");
        QTest::newRow("older") << Upgrade{u"1.0.0"_s, u"1.0.1"_s, true, true};
        QTest::newRow("older, by number not text") << Upgrade{u"1.9"_s, u"1.10"_s, true, true};
        QTest::newRow("older, written shorter") << Upgrade{u"1.0"_s, u"1.0.1"_s, true, true};
        QTest::newRow("unreadable") << Upgrade{{}, u"1.0"_s, true, true};
        QTest::newRow("a FIFO in its place, read without waiting")
            << Upgrade{u"fifo"_s, u"1.0"_s, true, true};
        QTest::newRow("old agent won't end") << Upgrade{u"1.0"_s, u"2.0"_s, false, false};
        QTest::newRow("same, written shorter") << Upgrade{u"1.0.0"_s, u"1.0"_s, false, true};
        QTest::newRow("newer") << Upgrade{u"2.0"_s, u"1.10"_s, false, true};
        QTest::newRow("newer, past 64 bits")
            << Upgrade{u"1.18446744073709551616"_s, u"1.18446744073709551615"_s, false, true};
        QTest::newRow("older, past 64 bits, zeros in front")
            << Upgrade{u"1.018446744073709551616"_s, u"1.99999999999999999999"_s, true, true};
        QTest::newRow("carried unreadable") << Upgrade{u"1.0"_s, {}, false, true};
    }
    void upgradeReplacesOnlyAnOlderAgent() {
        QFETCH(Upgrade, upgrade);
        const auto& [installedVersion, carriedVersion, replaced, oldEnds] = upgrade;
        writeFile(location + u"/Contents/Info.plist"_s,
                  installedVersion.isEmpty() ? "<plist" : infoPlist("x", installedVersion));
        if (installedVersion == u"fifo")
            makeFifo(location + u"/Contents/Info.plist"_s);
        writeFile(carried + u"/Contents/Info.plist"_s,
                  carriedVersion.isEmpty() ? "" : infoPlist("x", carriedVersion));
        w->running << helperId;
        const qsizetype terminations = peer.count(shouldTerminate);
        w->duringPause = [&] {
            if (oldEnds && peer.waitFor(shouldTerminate, terminations + 1))
                w->running.clear();
        };
        w->window.installHelper();
        QCOMPARE(w->files.bundleVersion(location), replaced ? carriedVersion : installedVersion);
        QCOMPARE(entries(folder), QStringList{u"Kelmo Helper.app"_s});
        QCOMPARE(entries(location + u"/Contents"_s).contains(u"MacOS"_s), replaced);
        if (!replaced && oldEnds)
            QCOMPARE(peer.count(shouldTerminate), terminations);
        QCOMPARE(outcomes(), !oldEnds   ? QStringList{u"error 905: "_s + qtTrId("ERROR.905")}
                             : replaced ? QStringList{launch()}
                                        : QStringList());
        if (oldEnds)
            return;
        // Nothing changed: once the old agent has ended, Install upgrades it.
        w->running.clear();
        w->log.clear();
        w->window.installHelper();
        QCOMPARE(w->files.bundleVersion(location), carriedVersion);
        QCOMPARE(outcomes(), QStringList{launch()});
    }

    // A bundle starts as a desktop launcher starts it, or the launcher says why not.
    void launchesTheBundleOrSaysWhyNot_data() {
        QTest::addColumn<QByteArray>("plist"); // or what is done to a good bundle; none: no bundle
        QTest::addColumn<QString>("reason");   // none: it starts
        const auto row = [](const char* what, const QByteArray& plist, const char* reason) {
            QTest::newRow(what) << plist << QString::fromUtf8(reason);
        };
        row("starts on its own", "good", "");
        row("no bundle", {}, "there is no application");
        row("no executable named", "<plist><dict></dict></plist>", "names no executable");
        row("not executable", "0644 program", "missing or not executable");
        // Read without waiting for a writer that never comes.
        row("its Info.plist a FIFO", "fifo", "names no executable");
        row("escapes the bundle", infoPlist("../../../bin/sh"), "names no executable");
        row("only a nested dictionary names one",
            "<plist><dict><key>N</key><dict><key>CFBundleExecutable</key><string>probe</string>"
            "</dict></dict></plist>",
            "names no executable");
        // Whoever else may change a bundle may have put a program of theirs in it.
        row("a link, leading nowhere", "link", "symbolic link");
        row("its folder writable by all", "0777 folder", "others may change");
        row("its program writable by the group", "0775 program", "others may change");
        row("another user's", "chown", "another user");
    }
    void launchesTheBundleOrSaysWhyNot() {
        QFETCH(QByteArray, plist);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString bundle = dir.path() + u"/Kelmo Helper.app"_s;
        const QString macOS = bundle + u"/Contents/MacOS/"_s;
        const QByteArray path = QFile::encodeName(bundle);
        if (plist == "link")
            QVERIFY(::symlink("/nonexistent/Kelmo Helper.app", path.constData()) == 0);
        else if (!plist.isEmpty()) {
            writeFile(bundle + u"/Contents/Info.plist"_s,
                      plist.startsWith('<') ? plist : infoPlist("probe"));
            // Reports its pid, its session and where its standard output goes.
            writeFile(macOS + u"probe"_s,
                      "#!/bin/sh\ncd \"${0%/*}\"; set -- $(cat /proc/$$/stat)\n"
                      "echo \"$1 $6 $(readlink /proc/$$/fd/1)\" > tmp && mv tmp report\n",
                      true);
            writeFile(macOS + u"evil"_s, "#!/bin/sh\necho evil > \"${0%/*}/report\"\n", true);
            if (const mode_t mode = plist.left(4).toUInt(nullptr, 8))
                changeMode(plist.endsWith(" folder") ? dir.path() : macOS + u"probe"_s, mode);
            if (plist == "chown" && ::chown(path.constData(), 65534, 65534) != 0)
                QSKIP("only root can give the bundle to another user");
            if (plist == "fifo")
                makeFifo(bundle + u"/Contents/Info.plist"_s);
        }
        const std::optional<Error> error = DetachedLauncher::start(bundle);
        const QString why = error.value_or(Error{}).localizedDescription;
        QVERIFY2(error.has_value() != reason.isEmpty(), qPrintable(why));
        if (error) {
            QVERIFY2(why.contains(reason) && why.contains(u"“Kelmo Helper.app”"_s),
                     qPrintable(why));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(macOS + u"report"_s), 10000);
        const QList<QByteArray> fields = readFile(macOS + u"report"_s).trimmed().split(' ');
        // A session of its own: the starter's terminal and its end don't reach it.
        QVERIFY(fields.value(1).toLongLong() != qint64(::getsid(0)));
        QCOMPARE(fields.value(2), QByteArray("/dev/null"));
    }

private:
    QString launch() const { return u"launch "_s + location; }
    QStringList copyThenLaunch() const { return {u"pause 1 s"_s, launch()}; }
    QStringList takeLog() { return std::exchange(w->log, {}); }
    // The launches and errors, without the pauses.
    QStringList outcomes() { return w->log.filter(QRegularExpression(u"^(launch|error) "_s)); }
    // What the peer received after `before` once `count` more requests for access came, or the
    // wait ran out.
    QStringList receivedAfter(const QStringList& before, qsizetype count, int timeoutMs = 10000) {
        peer.waitFor(shouldRequestAccess, before.count(name(shouldRequestAccess)) + count,
                     timeoutMs);
        return peer.received().mid(before.size());
    }
    // The same once a marker this process posts came: posts keep their order, so all it posted
    // earlier came too.
    QStringList markedAfter(const QStringList& before) {
        const qsizetype markers = peer.count(shouldTerminate);
        DarwinNotificationsManager::sharedInstance().postNotificationWithName(
            name(shouldTerminate));
        peer.waitFor(shouldTerminate, markers + 1);
        return peer.received().mid(before.size());
    }

    PrivateBus bus;
    BusPeer peer{bus.connection()};
    const QStringList requests{name(shouldStartCheckingForAccess), name(shouldRequestAccess)};
    std::optional<QTemporaryDir> home;
    QString dataHome, folder, location, resources, carried;
    std::optional<Wizard> w;
};

QTEST_MAIN(InstallerTest)
#include "tst_installer.moc"
