#include "BusDeadline.h"
#include "BusRunningApplications.h"
#include "DetachedLauncher.h"
#include "InstallerPlatform.h"
#include "MessageBoxErrorPresentation.h"
#include "PosixFileManager.h"
#include "ResourcesDirectory.h"
#include "SessionBusProbe.h"
#include "ShellExtension.h"

#include <QDBusConnection>
#include <QDBusError>
#include <thread>

namespace {
// Why the session bus did not answer when the installer started; empty when it did.
QString& unansweredBus() {
    static QString why;
    return why;
}
} // namespace

void prepareInstallerProcess() {
    if (!sessionBusAnswers(std::chrono::milliseconds(3000), unansweredBus()))
        // Qt's own desktop services join the bus while the application is made, and would wait
        // on this one without end: they go without, and the installer says why.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
}

InstallerPlatform makeInstallerPlatform() {
    InstallerPlatform platform;
    platform.errorPresentation = std::make_unique<MessageBoxErrorPresentation>();
    const auto unavailable = [&platform](const QString& why) {
        platform.sessionUnavailable =
            Error{QStringLiteral("org.freedesktop.DBus"), 1,
                  QStringLiteral("Kelmo Helper Installer needs your desktop session's message "
                                 "bus, but %1")
                      .arg(why)};
        return std::move(platform);
    };
    if (!unansweredBus().isEmpty())
        return unavailable(unansweredBus());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return unavailable(QStringLiteral("there is none (%1)").arg(bus.lastError().message()));
    platform.runningApplications = std::make_unique<BusRunningApplications>(bus);
    platform.fileManager = std::make_unique<PosixFileManager>();
    platform.mainBundle =
        std::make_unique<ResourcesDirectory>(ResourcesDirectory::ofRunningApplication());
    platform.launcher = std::make_unique<DetachedLauncher>();
    // Until the Shell has loaded the agent's extension, GNOME's portal asks at each start of the
    // agent; the user learns why at once, and that the next login ends it.
    if (ShellExtension::inGnomeWaylandSession() &&
        ShellExtension::awaitsNextLogin(bus, BusDeadline(std::chrono::seconds(2)))) {
        platform.accessMissingHint = "STEP2.GNOME_NEXT_LOGIN";
        platform.accessMissingHintAfter = std::chrono::milliseconds(0);
    }
    return platform;
}

void pauseBeforeLaunch(std::chrono::seconds pause) {
    std::this_thread::sleep_for(pause);
}
