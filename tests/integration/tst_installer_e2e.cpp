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
const QString windowTitle = QStringLiteral("^Kelmo Helper Installer$");

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
        env.insert(QStringLiteral("DISPLAY"), xvfb.display());
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("en_US.UTF-8"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/data")));
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
        const QString installed = home.path() + QStringLiteral("/data/Kelmo/Kelmo Helper.app");
        const QString executable = installed + QStringLiteral("/Contents/MacOS/Kelmo Helper");
        QVERIFY(QFileInfo(executable).isExecutable());
        QCOMPARE(QDir(home.path() + QStringLiteral("/data/Kelmo"))
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("Kelmo Helper.app")});
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
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Escape")}));
        QVERIFY(installer.waitForExit(10000));
        QCOMPARE(installer.exitCode(), 0);
    }

private:
    bool xdotool(const QStringList& arguments) {
        QProcess tool;
        tool.setProcessEnvironment(env);
        tool.start(QStringLiteral("xdotool"), arguments);
        return tool.waitForFinished(20000) && tool.exitCode() == 0;
    }
    bool focusInstallerWindow() {
        return xdotool({QStringLiteral("search"), QStringLiteral("--sync"),
                        QStringLiteral("--onlyvisible"), QStringLiteral("--name"), windowTitle,
                        QStringLiteral("windowfocus"), QStringLiteral("--sync")});
    }
    bool pressReturn() { return xdotool({QStringLiteral("key"), QStringLiteral("Return")}); }

    // The file the process that owns the agent's name runs from.
    QString agentExecutable() {
        const auto pid =
            bus.connection().interface()->servicePid(name(BundleIdentifier::helper)).value();
        return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath();
    }

    XvfbServer xvfb;
    PrivateBus bus;
    QTemporaryDir home;
    QProcessEnvironment env;
    std::unique_ptr<BusPeer> peer;
};

QTEST_GUILESS_MAIN(InstallerEndToEndTest)
#include "tst_installer_e2e.moc"
