#pragma once

#include "ApplicationLauncher.h"
#include "ErrorPresentation.h"
#include "FileManager.h"
#include "MainBundle.h"
#include "RunningApplications.h"

#include <chrono>
#include <memory>
#include <optional>

// What the installer needs of the desktop.
struct InstallerPlatform {
    std::unique_ptr<RunningApplications> runningApplications;
    std::unique_ptr<FileManager> fileManager;
    std::unique_ptr<MainBundle> mainBundle;
    std::unique_ptr<ApplicationLauncher> launcher;
    std::unique_ptr<ErrorPresentation> errorPresentation;
    // Set when the installer can't reach the session it installs into; then only the error
    // presentation is there, to say so.
    std::optional<Error> sessionUnavailable;
    // The installer's text key that tells the user how to give the permission again when it does
    // not come, where the system can list it as given while it no longer holds; or none.
    const char* accessMissingHint = nullptr;
    // How long after the request that is; at once where the system is known to need a step first.
    std::chrono::milliseconds accessMissingHintAfter = std::chrono::seconds(30);
};

// Before the application object is made (which may already use the session).
void prepareInstallerProcess();
InstallerPlatform makeInstallerPlatform();
// The pause between copying the agent and starting it. The window takes no input meanwhile, and
// nothing it hears then is acted on before the start, which would undo it.
void pauseBeforeLaunch(std::chrono::seconds pause);
