#include "AppDelegate.h"
#include "ApplicationPolicy.h"
#include "BusRunningApplications.h"
#include "DetachedLauncher.h"
#include "LocalizedString.h"
#include "MessageBoxErrorPresentation.h"
#include "NotifyCenter.h"
#include "PosixFileManager.h"
#include "ResourcesDirectory.h"
#include "ViewController.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QLocale>
#include <QThread>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(quitsWhenLastWindowCloses());
    installTranslations(QLocale::system());

    MessageBoxErrorPresentation errorPresentation;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        errorPresentation.presentError(
            nullptr, {QStringLiteral("org.freedesktop.DBus"), 1,
                      QStringLiteral("Kelmo Helper Installer needs your desktop session's "
                                     "message bus, and there is none: %1")
                          .arg(bus.lastError().message())});
        return 1;
    }

    AppDelegate delegate;
    QObject::connect(&app, &QCoreApplication::aboutToQuit,
                     [&delegate] { delegate.applicationWillTerminate(); });
    delegate.applicationDidFinishLaunching();

    BusRunningApplications runningApplications(bus);
    PosixFileManager fileManager;
    ResourcesDirectory mainBundle = ResourcesDirectory::ofRunningApplication();
    DetachedLauncher launcher;
    ViewController window({runningApplications, fileManager, mainBundle, launcher,
                           errorPresentation, [](std::chrono::seconds pause) {
                               QThread::sleep(static_cast<unsigned long>(pause.count()));
                           }});
    window.show();
    const int status = app.exec();
    // Requests posted just before quitting must still reach the agent.
    darwinNotifyCenter().flush();
    return status;
}
