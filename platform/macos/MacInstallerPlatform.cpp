#include "CocoaFileManager.h"
#include "InstallerPlatform.h"
#include "MainBundleResources.h"
#include "MessageBoxErrorPresentation.h"
#include "WorkspaceLauncher.h"
#include "WorkspaceRunningApplications.h"

#include <QEventLoop>
#include <QTimer>

void prepareInstallerProcess() {}

void pauseBeforeLaunch(std::chrono::seconds pause) {
    // The run loop turns meanwhile, user input aside: AppKit brings its list of running
    // applications up to date only then, and the upgrade asks it whether the old agent ended.
    QEventLoop loop;
    QTimer::singleShot(pause, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

InstallerPlatform makeInstallerPlatform() {
    InstallerPlatform platform;
    platform.errorPresentation = std::make_unique<MessageBoxErrorPresentation>();
    platform.runningApplications = std::make_unique<WorkspaceRunningApplications>();
    platform.fileManager = std::make_unique<CocoaFileManager>();
    platform.mainBundle = std::make_unique<MainBundleResources>();
    platform.launcher = std::make_unique<WorkspaceLauncher>();
    // System Settings keeps listing an agent as allowed after an upgrade signed by another
    // identity, while the grant no longer applies to it.
    platform.accessMissingHint = "STEP2.GRANT_AGAIN";
    return platform;
}
