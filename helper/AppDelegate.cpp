#include "AppDelegate.h"

#include "DarwinNotificationsManager.h"
#include "NotificationNames.h"
#include "RunningApplications.h"
#include "StandardOutput.h"

#include <QCoreApplication>

AppDelegate::AppDelegate(RunningApplications& runningApplications, AgentIntervals intervals)
    : runningApplications_(runningApplications) {
    watchdog_.setInterval(intervals.watchdog);
    connect(&watchdog_, &QTimer::timeout, this, &AppDelegate::selfDestruct);
    timer.setInterval(intervals.accessPoll);
    connect(&timer, &QTimer::timeout, this, &AppDelegate::checkAccess);
}

void AppDelegate::applicationDidFinishLaunching() {
    auto& manager = DarwinNotificationsManager::sharedInstance();
    // Every command is subscribed before the launch is announced, so a peer may answer the
    // announcement with a command at once.
    manager.registerForNotificationName(QString::fromLatin1(NotificationName::shouldPaste),
                                        [this] { paste(); });
    manager.registerForNotificationName(QString::fromLatin1(NotificationName::shouldTerminate),
                                        [this] { terminate(); });
    manager.registerForNotificationName(QString::fromLatin1(NotificationName::shouldRequestAccess),
                                        [this] { requestAccess(); });
    manager.registerForNotificationName(
        QString::fromLatin1(NotificationName::shouldStartCheckingForAccess),
        [this] { startCheckingForAccess(); });
    manager.postNotificationWithName(QString::fromLatin1(NotificationName::didFinishLaunching));
    watchdog_.start();
}

void AppDelegate::applicationWillTerminate() {
    printLine("$ Kelmo Helper: willTerminate");
    DarwinNotificationsManager::sharedInstance().postNotificationWithName(
        QString::fromLatin1(NotificationName::willTerminate));
}

void AppDelegate::selfDestruct() {
    if (!runningApplications_.isRunning(QString::fromLatin1(BundleIdentifier::mainApplication)))
        terminate();
}

void AppDelegate::terminate() {
    QCoreApplication::quit();
}

void AppDelegate::paste() {}

void AppDelegate::requestAccess() {}

void AppDelegate::startCheckingForAccess() {}

void AppDelegate::checkAccess() {}
