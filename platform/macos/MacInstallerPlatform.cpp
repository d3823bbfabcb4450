#include "CocoaFileManager.h"
#include "InstallerPlatform.h"
#include "MainBundleResources.h"
#include "MessageBoxErrorPresentation.h"
#include "WorkspaceLauncher.h"
#include "WorkspaceRunningApplications.h"

void prepareInstallerProcess() {}

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
