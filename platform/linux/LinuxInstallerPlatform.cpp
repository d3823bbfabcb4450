#include "BusRunningApplications.h"
#include "DetachedLauncher.h"
#include "InstallerPlatform.h"
#include "MessageBoxErrorPresentation.h"
#include "PosixFileManager.h"
#include "ResourcesDirectory.h"

#include <QDBusConnection>
#include <QDBusError>

InstallerPlatform makeInstallerPlatform() {
    InstallerPlatform platform;
    platform.errorPresentation = std::make_unique<MessageBoxErrorPresentation>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        platform.sessionUnavailable =
            Error{QStringLiteral("org.freedesktop.DBus"), 1,
                  QStringLiteral("Kelmo Helper Installer needs your desktop session's message "
                                 "bus, and there is none: %1")
                      .arg(bus.lastError().message())};
        return platform;
    }
    platform.runningApplications = std::make_unique<BusRunningApplications>(bus);
    platform.fileManager = std::make_unique<PosixFileManager>();
    platform.mainBundle =
        std::make_unique<ResourcesDirectory>(ResourcesDirectory::ofRunningApplication());
    platform.launcher = std::make_unique<DetachedLauncher>();
    return platform;
}
