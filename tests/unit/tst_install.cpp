#include "InstallerFakes.h"
#include "PosixFileManager.h"
#include "ResourcesDirectory.h"
#include "TestSupport.h"
#include "ViewController.h"

#include <QTabWidget>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace {
const QString helperId = QString::fromLatin1(BundleIdentifier::helper);

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Where another installer finishes its copy while this one is still at it, on a filesystem
// without rename flags.
QString appearsMeanwhile;
int renameWithoutFlags(const char* from, const char* to, unsigned flags) {
    if (flags == 0)
        return std::rename(from, to);
    if (!appearsMeanwhile.isEmpty())
        writeFile(appearsMeanwhile + QStringLiteral("/Contents/Info.plist"), "theirs");
    errno = EINVAL;
    return -1;
}
} // namespace

// Install and launch with the real file system in a temporary home; the launch itself, the
// running applications and the error box are recorded.
class InstallTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(bus.isRunning()); }

    void init() {
        home.emplace();
        dataHome = home->path() + QStringLiteral("/.local/share");
        qputenv("HOME", home->path().toUtf8());
        qunsetenv("XDG_DATA_HOME");
        resources = home->path() + QStringLiteral("/Installer.app/Contents/Resources");
        carried = resources + QStringLiteral("/Kelmo Helper.app");
        writeFile(carried + QStringLiteral("/Contents/Info.plist"), "<plist/>");
        writeFile(carried + QStringLiteral("/Contents/MacOS/Kelmo Helper"), "#!/bin/sh\n", true);
        folder = dataHome + QStringLiteral("/Kelmo");
        location = folder + QStringLiteral("/Kelmo Helper.app");
        running.running.clear();
        launcher.launched.clear();
        launcher.failure.reset();
        errors.presented.clear();
        sleep.pauses.clear();
        appearsMeanwhile.clear();
        makeWindow();
    }
    void cleanup() {
        window.reset();
        home.reset();
    }

    void firstInstallOnAFreshAccountCopiesSafelyWaitsAndLaunches() {
        // Unpacked loosely: everyone may write everything.
        for (const char* path :
             {"", "/Contents", "/Contents/MacOS", "/Contents/MacOS/Kelmo Helper"})
            QVERIFY(::chmod(QFile::encodeName(carried + QLatin1String(path)).constData(), 0777) ==
                    0);
        QVERIFY(::chmod(QFile::encodeName(carried + QStringLiteral("/Contents/Info.plist")),
                        0666) == 0);
        const mode_t mask = ::umask(027);
        window->installHelper();
        ::umask(mask);
        QCOMPARE(errors.presented, QList<Error>());
        QCOMPARE(modeOf(dataHome), mode_t(0700));
        QCOMPARE(modeOf(location + QStringLiteral("/Contents/MacOS/Kelmo Helper")), mode_t(0750));
        QCOMPARE(modeOf(location + QStringLiteral("/Contents/Info.plist")), mode_t(0640));
        QCOMPARE(modeOf(location + QStringLiteral("/Contents")), mode_t(0750));
        QCOMPARE(sleep.pauses, QList<std::chrono::seconds>{std::chrono::seconds(1)});
        QCOMPARE(launcher.launched, QStringList{location});
        QCOMPARE(window->tabView->currentIndex(), 1);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("Kelmo Helper.app")});
    }

    void bundleInPlaceIsLaunchedAsItIs() {
        writeFile(location + QStringLiteral("/old-version"), "1");
        window->installHelper();
        QCOMPARE(errors.presented, QList<Error>());
        QCOMPARE(entries(location), QStringList{QStringLiteral("old-version")});
        QVERIFY(sleep.pauses.isEmpty());
        QCOMPARE(launcher.launched, QStringList{location});
        QCOMPARE(window->tabView->currentIndex(), 1);
    }

    void runningAgentIsNeitherLaunchedNorLookedFor() {
        running.running << helperId;
        window->launchHelper(window.get());
        QVERIFY(!QFileInfo::exists(folder));
        QVERIFY(launcher.launched.isEmpty());
        QCOMPARE(window->tabView->currentIndex(), 1);
    }

    void dataFolderProblemsAreShownAndStopTheStep_data() {
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("Kelmo is a file")
            << QStringLiteral("Kelmo") << QStringList{QStringLiteral("couldn't be copied")};
        QTest::newRow("data folder is a file") << QStringLiteral("data")
                                               << QStringList{QStringLiteral("couldn't be created"),
                                                              QStringLiteral("couldn't be copied")};
        QTest::newRow("neither HOME nor XDG_DATA_HOME")
            << QStringLiteral("nowhere") << QStringList{QStringLiteral("can't be found")};
        QTest::newRow("relative XDG_DATA_HOME is ignored")
            << QStringLiteral("relative") << QStringList();
    }
    void dataFolderProblemsAreShownAndStopTheStep() {
        QFETCH(QString, problem);
        QFETCH(QStringList, shown);
        if (problem == u"Kelmo")
            writeFile(folder, "not a folder");
        if (problem == u"data")
            writeFile(dataHome, "not a folder");
        if (problem == u"nowhere")
            qunsetenv("HOME");
        if (problem == u"relative")
            qputenv("XDG_DATA_HOME", "relative/data");
        window->installHelper();
        QCOMPARE(errors.presented.size(), shown.size());
        for (qsizetype i = 0; i < shown.size(); ++i)
            QVERIFY2(errors.presented[i].localizedDescription.contains(shown[i]),
                     qPrintable(errors.presented[i].localizedDescription));
        QCOMPARE(QFileInfo(location).isDir(), shown.isEmpty());
        QCOMPARE(window->tabView->currentIndex(), shown.isEmpty() ? 1 : 0);
        QVERIFY(!QFileInfo::exists(QStringLiteral("relative")));
    }

    void missingResourceIsErrorNineHundredFourUnlessInstalled() {
        QVERIFY(QDir(carried).removeRecursively());
        window->installHelper();
        QCOMPARE(errors.presented.size(), 1);
        QCOMPARE(errors.presented.first().code, 904);
        QCOMPARE(errors.presented.first().domain, QString::fromLatin1(BundleIdentifier::installer));
        QCOMPARE(entries(folder), QStringList());
        QVERIFY(launcher.launched.isEmpty());

        // With the bundle already in place, the resource is never asked for.
        errors.presented.clear();
        writeFile(location + QStringLiteral("/Contents/Info.plist"), "<plist/>");
        window->installHelper();
        QCOMPARE(errors.presented, QList<Error>());
        QCOMPARE(launcher.launched, QStringList{location});
    }

    void failedLaunchKeepsTheStepAndTheBundle() {
        launcher.failure = Error{QStringLiteral("test"), 7, QStringLiteral("no launch today")};
        window->installHelper();
        QCOMPARE(errors.presented, QList<Error>{*launcher.failure});
        QCOMPARE(window->tabView->currentIndex(), 0);
        QVERIFY(QFileInfo(location).isDir());

        // Pressing again skips copy and wait and tries the launch again.
        launcher.failure.reset();
        window->installHelper();
        QCOMPARE(sleep.pauses.size(), 1);
        QCOMPARE(launcher.launched.size(), 2);
        QCOMPARE(window->tabView->currentIndex(), 1);
    }

    void copyKilledOrFailingHalfWayLeavesNothingBehind() {
        // What an installer killed mid-copy left: a hidden partial copy, read-only in places.
        const QString abandoned = folder + QStringLiteral("/.Kelmo Helper.app.partial-0dead0");
        writeFile(abandoned + QStringLiteral("/Contents/MacOS/half"), "ha");
        QVERIFY(::chmod(QFile::encodeName(abandoned + QStringLiteral("/Contents")), 0500) == 0);
        // Plenty copies first; a pipe, which no copy can take, comes after it.
        for (int i = 0; i < 20; ++i)
            writeFile(carried + QStringLiteral("/Contents/Resources/file%1").arg(i), "data");
        const QString pipe = carried + QStringLiteral("/Contents/Resources/zz-pipe");
        QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
        window->installHelper();
        QCOMPARE(errors.presented.size(), 1);
        QCOMPARE(entries(folder), QStringList());
        QVERIFY(sleep.pauses.isEmpty());
        QVERIFY(launcher.launched.isEmpty());
        QCOMPARE(window->tabView->currentIndex(), 0);

        // The next press finds nothing there and copies again, this time whole.
        QVERIFY(QFile::remove(pipe));
        window->installHelper();
        QCOMPARE(errors.presented.size(), 1);
        QVERIFY(QFileInfo(location + QStringLiteral("/Contents/Resources/file19")).isFile());
        QCOMPARE(launcher.launched, QStringList{location});
    }

    void filesystemWithoutRenameFlagsStillNeverReplaces() {
        makeWindow(&renameWithoutFlags);
        window->installHelper();
        QCOMPARE(errors.presented, QList<Error>());
        QVERIFY(
            QFileInfo(location + QStringLiteral("/Contents/MacOS/Kelmo Helper")).isExecutable());

        // Another installer's bundle appears while this one copies: it stays as it is.
        QVERIFY(QDir(location).removeRecursively());
        appearsMeanwhile = location;
        window->installHelper();
        QCOMPARE(errors.presented.size(), 1);
        QVERIFY(errors.presented.first().localizedDescription.contains(QStringLiteral("exists")));
        QCOMPARE(entries(location + QStringLiteral("/Contents")),
                 QStringList{QStringLiteral("Info.plist")});
        QCOMPARE(entries(folder), QStringList{QStringLiteral("Kelmo Helper.app")});
    }

    void requestAccessDoesNotCopyAgain() {
        launcher.failure = Error{QStringLiteral("test"), 3, QStringLiteral("bundle gone")};
        window->tabView->setCurrentIndex(1);
        window->requestAccess();
        QCOMPARE(errors.presented.size(), 1);
        QCOMPARE(launcher.launched, QStringList{location});
        QVERIFY(!QFileInfo::exists(location));
        QCOMPARE(window->tabView->currentIndex(), 1);
    }

private:
    void makeWindow(PosixFileManager::RenameAt2 rename = nullptr) {
        window.reset();
        files.emplace(rename);
        mainBundle.emplace(resources);
        window = std::make_unique<ViewController>(InstallerServices{
            running, *files, *mainBundle, launcher, errors, [this](std::chrono::seconds pause) {
                sleep(pause);
            }});
    }

    PrivateBus bus;
    std::optional<QTemporaryDir> home;
    QString dataHome, resources, carried, folder, location;
    FakeRunningApplications running;
    std::optional<PosixFileManager> files;
    std::optional<ResourcesDirectory> mainBundle;
    RecordingLauncher launcher;
    RecordingErrorPresentation errors;
    RecordingSleep sleep;
    std::unique_ptr<ViewController> window;
};

QTEST_MAIN(InstallTest)
#include "tst_install.moc"
