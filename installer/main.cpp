#include "AppDelegate.h"
#include "ApplicationPolicy.h"
#include "InstallerPlatform.h"
#include "LocalizedString.h"
#include "NotifyCenter.h"
#include "ViewController.h"

#include <QApplication>
#include <QLocale>

int main(int argc, char** argv) {
    prepareInstallerProcess();
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(quitsWhenLastWindowCloses());
    installTranslations(QLocale::system());

    InstallerPlatform platform = makeInstallerPlatform();
    if (platform.sessionUnavailable) {
        platform.errorPresentation->presentError(nullptr, *platform.sessionUnavailable);
        return 1;
    }

    AppDelegate delegate;
    QObject::connect(&app, &QCoreApplication::aboutToQuit,
                     [&delegate] { delegate.applicationWillTerminate(); });
    delegate.applicationDidFinishLaunching();

    ViewController window({*platform.runningApplications, *platform.fileManager,
                           *platform.mainBundle, *platform.launcher, *platform.errorPresentation,
                           pauseBeforeLaunch, platform.accessMissingHint,
                           platform.accessMissingHintAfter});
    window.show();
    const int status = app.exec();
    // Requests posted just before quitting must still reach the agent.
    darwinNotifyCenter().flush();
    return status;
}
