#include "LineProcess.h"
#include "NotificationNames.h"
#include "PrivateBus.h"
#include "TestSupport.h"
#include "XvfbServer.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString installerExecutable = QStringLiteral(KELMO_INSTALLER_EXECUTABLE);
const QString windowTitle = u"^Kelmo Helper Installer$"_qs;

} // namespace

// The real installer on a real X server and a private bus, driven from the keyboard as a person
// would, installing and starting the real agent.
class InstallerEndToEndTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        QVERIFY(xvfb.isRunning());
        QVERIFY(bus.isRunning());
        QVERIFY(home.isValid());
        env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DISPLAY"_qs, xvfb.display());
        env.insert(u"HOME"_qs, home.path());
        env.insert(u"XDG_DATA_HOME"_qs, home.path() + u"/data"_qs);
        env.insert(u"LC_ALL"_qs, u"en_US.UTF-8"_qs);
        env.remove(u"QT_QPA_PLATFORM"_qs);
        QVERIFY(QDir().mkpath(home.path() + u"/data"_qs));
        peer = std::make_unique<BusPeer>(bus.connection());
        peer->observe({name(NotificationName::didFinishLaunching),
                       name(NotificationName::shouldStartCheckingForAccess),
                       name(NotificationName::shouldRequestAccess),
                       name(NotificationName::accessWasEnabled),
                       name(NotificationName::willTerminate)});
    }

    void threeStepsFromTheKeyboard() {
        LineProcess installer;
        installer.start(installerExecutable, {}, env);
        QVERIFY(focusInstallerWindow());

        // Step 1: install and start the agent.
        QVERIFY(pressReturn());
        QVERIFY(peer->waitFor(name(NotificationName::didFinishLaunching), 1, 20000));
        const QString installed = home.path() + u"/data/Kelmo/Kelmo Helper.app"_qs;
        const QString executable = installed + u"/Contents/MacOS/Kelmo Helper"_qs;
        QVERIFY(QFileInfo(executable).isExecutable());
        QCOMPARE(QDir(home.path() + u"/data/Kelmo"_qs)
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{u"Kelmo Helper.app"_qs});
        QCOMPARE(agentExecutable(), QFileInfo(executable).canonicalFilePath());

        // Step 2: ask the agent for the permission; on this display it has it.
        QVERIFY(pressReturn());
        QVERIFY(peer->waitFor(name(NotificationName::accessWasEnabled)));
        QCOMPARE(peer->received().mid(1, 2),
                 QStringList({name(NotificationName::shouldStartCheckingForAccess),
                              name(NotificationName::shouldRequestAccess)}));

        // Step 3: done. The window may need a moment to turn the page after the answer.
        bool ended = false;
        for (int attempt = 0; attempt < 3 && !ended; ++attempt) {
            QVERIFY(pressReturn());
            ended = installer.waitForExit(5000);
        }
        QVERIFY(ended);
        QCOMPARE(installer.exitCode(), 0);
        QVERIFY2(installer.output().isEmpty(), qPrintable(installer.output().join(u'\n')));

        // Quitting the installer tells the agent nothing: it keeps serving.
        QVERIFY(bus.connection().interface()->isServiceRegistered(name(BundleIdentifier::helper)));
        peer->post(name(NotificationName::shouldTerminate));
        QVERIFY(peer->waitFor(name(NotificationName::willTerminate)));
    }

    void escapeClosesTheWindowAndEndsTheInstaller() {
        LineProcess installer;
        installer.start(installerExecutable, {}, env);
        QVERIFY(focusInstallerWindow());
        QVERIFY(xdotool({u"key"_qs, u"Escape"_qs}));
        QVERIFY(installer.waitForExit(10000));
        QCOMPARE(installer.exitCode(), 0);
    }

private:
    bool xdotool(const QStringList& arguments) {
        QProcess tool;
        tool.setProcessEnvironment(env);
        tool.start(u"xdotool"_qs, arguments);
        return tool.waitForFinished(20000) && tool.exitCode() == 0;
    }
    bool focusInstallerWindow() {
        return xdotool({u"search"_qs, u"--sync"_qs, u"--onlyvisible"_qs, u"--name"_qs, windowTitle,
                        u"windowfocus"_qs, u"--sync"_qs});
    }
    bool pressReturn() { return xdotool({u"key"_qs, u"Return"_qs}); }

    // The file the process that owns the agent's name runs from.
    QString agentExecutable() {
        const auto pid =
            bus.connection().interface()->servicePid(name(BundleIdentifier::helper)).value();
        return QFileInfo(u"/proc/%1/exe"_qs.arg(pid)).canonicalFilePath();
    }

    XvfbServer xvfb;
    PrivateBus bus;
    QTemporaryDir home;
    QProcessEnvironment env;
    std::unique_ptr<BusPeer> peer;
};

QTEST_GUILESS_MAIN(InstallerEndToEndTest)
#include "tst_installer_e2e.moc"
