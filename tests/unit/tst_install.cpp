#include "InstallerFakes.h"
#include "NotificationNames.h"
#include "PosixFileManager.h"
#include "PrivateBus.h"
#include "ResourcesDirectory.h"
#include "TestSupport.h"
#include "ViewController.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString helperId = QString::fromLatin1(BundleIdentifier::helper);
} // namespace

// Install and launch with the real file system in a temporary home; the launch itself, the
// running applications and the error box are recorded.
class InstallTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(bus.isRunning()); }

    void init() {
        home = std::make_unique<QTemporaryDir>();
        dataHome = home->path() + QStringLiteral("/.local/share");
        QVERIFY(QDir().mkpath(dataHome));
        qputenv("XDG_DATA_HOME", dataHome.toUtf8());
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
        mainBundle = std::make_unique<ResourcesDirectory>(resources);
        window = std::make_unique<ViewController>(InstallerServices{
            running, files, *mainBundle, launcher, errors, [this](std::chrono::seconds pause) {
                sleep(pause);
            }});
    }
    void cleanup() {
        window.reset();
        home.reset();
    }

    void firstInstallCopiesWaitsLaunchesAndShowsStepTwo() {
        window->installHelper();
        QVERIFY(errors.presented.isEmpty());
        QVERIFY(QFileInfo(folder).isDir());
        const QFileInfo executable(location + QStringLiteral("/Contents/MacOS/Kelmo Helper"));
        QVERIFY(executable.isFile());
        QVERIFY(executable.isExecutable());
        QVERIFY(QFileInfo(location + QStringLiteral("/Contents/Info.plist")).isFile());
        QCOMPARE(sleep.pauses, QList<std::chrono::seconds>{std::chrono::seconds(1)});
        QCOMPARE(launcher.launched, QStringList{location});
        QCOMPARE(window->tabView->currentIndex(), 1);
        // Nothing else was left in the folder on the way.
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("Kelmo Helper.app")});
    }

    void bundleInPlaceIsLaunchedAsItIs() {
        writeFile(location + QStringLiteral("/old-version"), "1");
        window->installHelper();
        QVERIFY(errors.presented.isEmpty());
        QVERIFY(QFile::exists(location + QStringLiteral("/old-version")));
        QVERIFY(!QFile::exists(location + QStringLiteral("/Contents")));
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

    void plainFileNamedKelmoFailsTheCopy() {
        writeFile(folder, "not a folder");
        window->installHelper();
        QCOMPARE(errors.presented.size(), 1);
        QVERIFY2(errors.presented.first().localizedDescription.contains(
                     QStringLiteral("couldn't be copied")),
                 qPrintable(errors.presented.first().localizedDescription));
        QVERIFY(QFileInfo(folder).isFile());
        QVERIFY(sleep.pauses.isEmpty());
        QVERIFY(launcher.launched.isEmpty());
        QCOMPARE(window->tabView->currentIndex(), 0);
    }

    void missingApplicationSupportGivesTwoErrors() {
        QVERIFY(QDir(dataHome).removeRecursively());
        window->installHelper();
        QCOMPARE(errors.presented.size(), 2);
        QVERIFY(errors.presented[0].localizedDescription.contains(
            QStringLiteral("couldn't be created")));
        QVERIFY(errors.presented[1].localizedDescription.contains(
            QStringLiteral("couldn't be copied")));
        QVERIFY(!QFileInfo::exists(dataHome));
        QVERIFY(launcher.launched.isEmpty());
        QCOMPARE(window->tabView->currentIndex(), 0);
    }

    void missingResourceIsErrorNineHundredFourUnlessInstalled() {
        QVERIFY(QDir(carried).removeRecursively());
        window->installHelper();
        QCOMPARE(errors.presented.size(), 1);
        QCOMPARE(errors.presented.first().code, 904);
        QCOMPARE(errors.presented.first().domain, QString::fromLatin1(BundleIdentifier::installer));
        QVERIFY(QFileInfo(folder).isDir());
        QVERIFY(!QFileInfo::exists(location));
        QVERIFY(launcher.launched.isEmpty());

        // With the bundle already in place, the resource is never asked for.
        errors.presented.clear();
        writeFile(location + QStringLiteral("/Contents/Info.plist"), "<plist/>");
        window->installHelper();
        QVERIFY(errors.presented.isEmpty());
        QCOMPARE(launcher.launched, QStringList{location});
    }

    void failedLaunchKeepsTheStepAndTheBundle() {
        launcher.failure = Error{QStringLiteral("test"), 7, QStringLiteral("no launch today")};
        window->installHelper();
        QCOMPARE(errors.presented.size(), 1);
        QCOMPARE(errors.presented.first().localizedDescription, QStringLiteral("no launch today"));
        QCOMPARE(window->tabView->currentIndex(), 0);
        QVERIFY(QFileInfo(location).isDir());

        // Pressing again skips copy and wait and tries the launch again.
        launcher.failure.reset();
        window->installHelper();
        QCOMPARE(sleep.pauses.size(), 1);
        QCOMPARE(launcher.launched.size(), 2);
        QCOMPARE(window->tabView->currentIndex(), 1);
    }

    void copyFailingHalfWayLeavesNothingBehind() {
        // Plenty copies first; a pipe, which no copy can take, comes after it.
        for (int i = 0; i < 20; ++i)
            writeFile(carried + QStringLiteral("/Contents/Resources/file%1").arg(i), "data");
        QVERIFY(::mkfifo(QFile::encodeName(carried + QStringLiteral("/Contents/Resources/zz-pipe"))
                             .constData(),
                         0600) == 0);
        window->installHelper();
        QCOMPARE(errors.presented.size(), 1);
        QVERIFY(!QFileInfo::exists(location));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
        QVERIFY(sleep.pauses.isEmpty());
        QVERIFY(launcher.launched.isEmpty());
        QCOMPARE(window->tabView->currentIndex(), 0);

        // The next press finds nothing there and copies again, this time whole.
        QVERIFY(QFile::remove(carried + QStringLiteral("/Contents/Resources/zz-pipe")));
        window->installHelper();
        QCOMPARE(errors.presented.size(), 1);
        QVERIFY(QFileInfo(location + QStringLiteral("/Contents/Resources/file19")).isFile());
        QCOMPARE(launcher.launched, QStringList{location});
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
    PrivateBus bus;
    std::unique_ptr<QTemporaryDir> home;
    QString dataHome, resources, carried, folder, location;
    FakeRunningApplications running;
    PosixFileManager files;
    std::unique_ptr<ResourcesDirectory> mainBundle;
    RecordingLauncher launcher;
    RecordingErrorPresentation errors;
    RecordingSleep sleep;
    std::unique_ptr<ViewController> window;
};

QTEST_MAIN(InstallTest)
#include "tst_install.moc"
