// The installer's macOS path for real, inside a QApplication (the Cocoa event dispatcher): the
// install action copies the agent bundle out of a downloaded installer's payload into an
// Application Support folder of the test's own, Launch Services starts it, and it answers on the
// Darwin notify center. Then the agent's trust poll, which must answer without a prompt.
#include "AXAccessibilityTrust.h"
#include "CocoaFileManager.h"
#include "DarwinNotificationsManager.h"
#include "ErrorPresentation.h"
#include "InstallerPlatform.h"
#include "LocalizedString.h"
#include "MainBundle.h"
#include "NotificationNames.h"
#include "ViewController.h"
#include "WorkspaceLauncher.h"
#include "WorkspaceRunningApplications.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <sys/xattr.h>

using namespace Qt::StringLiterals;
using namespace NotificationName;

namespace {
const QString helperId = QString::fromLatin1(BundleIdentifier::helper);
const QString builtAgent = QStringLiteral(KELMO_HELPER_BUNDLE);
constexpr char quarantine[] = "com.apple.quarantine";
// Launch Services and a first start of a fresh copy (Gatekeeper reads it whole) take their time.
constexpr int launchTimeoutMs = 60'000;
constexpr int endTimeoutMs = 15'000;

QString name(const char* notification) {
    return QString::fromLatin1(notification);
}

// How often each name reached this process; the manager keeps these blocks for the whole run.
QHash<QString, int>& heard() {
    static QHash<QString, int> counts;
    return counts;
}

bool isQuarantined(const QString& path) {
    return ::getxattr(QFile::encodeName(path).constData(), quarantine, nullptr, 0, 0,
                      XATTR_NOFOLLOW) >= 0;
}

// Cocoa's file manager, with Application Support in a folder of the test's own.
class TemporarySupport final : public FileManager {
public:
    explicit TemporarySupport(QString folder)
        : folder_(std::move(folder)) {}
    std::optional<QString> applicationSupportDirectory(Error&) override { return folder_; }
    bool fileExistsAtPath(const QString& path) override { return real_.fileExistsAtPath(path); }
    std::optional<Error> createDirectoryAtPath(const QString& path) override {
        return real_.createDirectoryAtPath(path);
    }
    std::optional<Error> copyItem(const QString& from, const QString& to) override {
        return real_.copyItem(from, to);
    }
    std::optional<Error> replaceItem(const QString& from, const QString& to) override {
        return real_.replaceItem(from, to);
    }
    QString bundleVersion(const QString& bundle) override { return real_.bundleVersion(bundle); }

private:
    CocoaFileManager real_;
    QString folder_;
};

// The installer's resources (the agent bundle of a downloaded installer), and its error boxes.
struct PayloadAndErrors final : MainBundle, ErrorPresentation {
    std::optional<QString> pathForResource(const QString& resource, const QString& type) override {
        return resource == u"Kelmo Helper"_s && type == u"app"_s ? std::optional(bundle)
                                                                 : std::nullopt;
    }
    void presentError(QWidget*, const Error& e) override {
        shown << u"%1 %2: %3"_s.arg(e.domain).arg(e.code).arg(e.localizedDescription);
    }
    QString bundle;
    QStringList shown;
};
} // namespace

class MacInstallerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        installTranslations(QLocale::system());
        for (const char* notification : {didFinishLaunching, willTerminate, accessWasEnabled}) {
            const QString key = name(notification);
            QVERIFY(manager().registerForNotificationName(key, [key] { ++heard()[key]; }));
        }
        QVERIFY2(!running.isRunning(helperId), "an agent already runs on this machine");
    }

    // Whatever a step left running, or still starting, ends, so that the next one starts alone.
    void cleanup() {
        manager().postNotificationWithName(name(shouldTerminate));
        QTRY_VERIFY_WITH_TIMEOUT(!running.isRunning(helperId), endTimeoutMs);
    }

    // Install, as the user presses it: the copy is whole and no longer quarantined, Launch
    // Services starts it, step 2 shows once it started, and it ends on shouldTerminate.
    void installsAndLaunchesTheAgent() {
        QTemporaryDir folder;
        const QString payload = folder.filePath(u"Installer/Kelmo Helper.app"_s);
        QVERIFY(QDir().mkpath(folder.filePath(u"Installer"_s)));
        QCOMPARE(QProcess::execute(u"/usr/bin/ditto"_s, {builtAgent, payload}), 0);
        // As a browser marks what it downloads; the agent inside carries the mark too.
        const QByteArray mark = "0081;00000000;kelmo-test;";
        for (const QString& path : {payload, payload + u"/Contents/MacOS/Kelmo Helper"_s}) {
            QCOMPARE(::setxattr(QFile::encodeName(path).constData(), quarantine, mark.constData(),
                                std::size_t(mark.size()), 0, XATTR_NOFOLLOW),
                     0);
            QVERIFY(isQuarantined(path));
        }
        const QString support = folder.filePath(u"Application Support"_s);
        QVERIFY(QDir().mkpath(support));

        TemporarySupport files(support);
        PayloadAndErrors installer;
        installer.bundle = payload;
        WorkspaceLauncher launcher;
        // The installer's own pause: AppKit updates its running applications only while the run
        // loop turns.
        ViewController window({running, files, installer, launcher, installer, pauseBeforeLaunch});
        const int launches = heard().value(name(didFinishLaunching));
        window.step1Button->click();
        QTRY_VERIFY_WITH_TIMEOUT(heard().value(name(didFinishLaunching)) > launches ||
                                     !installer.shown.isEmpty(),
                                 launchTimeoutMs);
        QVERIFY2(installer.shown.isEmpty(), qPrintable(installer.shown.join(u'\n')));
        QTRY_COMPARE(window.tabView->currentIndex(), 1);

        const QString installed = support + u"/Kelmo/Kelmo Helper.app"_s;
        QCOMPARE(files.bundleVersion(installed), files.bundleVersion(builtAgent));
        QVERIFY(!isQuarantined(installed));
        QVERIFY(!isQuarantined(installed + u"/Contents/MacOS/Kelmo Helper"_s));
        QTRY_VERIFY_WITH_TIMEOUT(running.isRunning(helperId), endTimeoutMs);

        // Pressing Install again with the agent running starts no second one.
        const int launchesBefore = heard().value(name(didFinishLaunching));
        window.installHelper();
        QCOMPARE(window.tabView->currentIndex(), 1);

        const int ends = heard().value(name(willTerminate));
        manager().postNotificationWithName(name(shouldTerminate));
        QTRY_VERIFY_WITH_TIMEOUT(heard().value(name(willTerminate)) > ends, endTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(!running.isRunning(helperId), endTimeoutMs);
        QCOMPARE(heard().value(name(didFinishLaunching)), launchesBefore);
        QVERIFY2(installer.shown.isEmpty(), qPrintable(installer.shown.join(u'\n')));
    }

    // The 1 s poll asks without a prompt and says what the system says of this process, which the
    // agent it starts shares: "disabled" on a runner that granted nothing.
    void theTrustPollAnswersWithoutAPrompt() {
        QProcess agent;
        const int launches = heard().value(name(didFinishLaunching));
        agent.start(builtAgent + u"/Contents/MacOS/Kelmo Helper"_s, {});
        QVERIFY(agent.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(heard().value(name(didFinishLaunching)) > launches,
                                 launchTimeoutMs);
        manager().postNotificationWithName(name(shouldStartCheckingForAccess));

        QByteArray output;
        const auto firstAnswer = [&] {
            output += agent.readAllStandardOutput();
            for (const QByteArray& line : output.split('\n'))
                if (line == "enabled" || line == "disabled")
                    return line;
            return QByteArray();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!firstAnswer().isEmpty(), endTimeoutMs);
        const bool trusted = AXAccessibilityTrust().isProcessTrusted(false);
        QCOMPARE(firstAnswer(), QByteArray(trusted ? "enabled" : "disabled"));

        manager().postNotificationWithName(name(shouldTerminate));
        QVERIFY(agent.waitForFinished(endTimeoutMs));
        QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent.exitCode(), 0);
    }

private:
    static DarwinNotificationsManager& manager() {
        return DarwinNotificationsManager::sharedInstance();
    }
    WorkspaceRunningApplications running;
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    MacInstallerTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_macinstaller.moc"
