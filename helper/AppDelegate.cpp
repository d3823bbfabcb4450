#include "AppDelegate.h"

#include "AccessibilityTrust.h"
#include "DarwinNotificationsManager.h"
#include "KeyboardEvents.h"
#include "NotificationNames.h"
#include "RunningApplications.h"
#include "StandardOutput.h"

#include <QCoreApplication>
#include <array>

AppDelegate::AppDelegate(RunningApplications& runningApplications, KeyboardEventPoster& keyboard,
                         AccessibilityTrust& trust, AgentIntervals intervals)
    : runningApplications_(runningApplications)
    , keyboard_(keyboard)
    , trust_(trust) {
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

void AppDelegate::paste() {
    printLine("$ Kelmo Helper: paste()");
    // Both events exist before either is posted: never a lone key-down.
    QString whyNot;
    std::optional<KeyboardEvent> keyDown = keyboard_.createKeyboardEvent(kVK_ANSI_V, true, whyNot);
    std::optional<KeyboardEvent> keyUp;
    if (keyDown)
        keyUp = keyboard_.createKeyboardEvent(kVK_ANSI_V, false, whyNot);
    if (!keyDown || !keyUp) {
        printErrorLine(QStringLiteral("cannot paste: %1").arg(whyNot));
        return;
    }
    keyDown->flags = kCGEventFlagMaskCommand;
    keyUp->flags = kCGEventFlagMaskCommand;
    const std::array events{*keyDown, *keyUp};
    keyboard_.postEvents(kCGHIDEventTap, events);
    printLine("$ Kelmo Helper: didPaste");
    DarwinNotificationsManager::sharedInstance().postNotificationWithName(
        QString::fromLatin1(NotificationName::didPaste));
}

void AppDelegate::requestAccess() {
    if (!trust_.isProcessTrusted(true))
        return;
    DarwinNotificationsManager::sharedInstance().postNotificationWithName(
        QString::fromLatin1(NotificationName::accessWasEnabled));
    timer.stop();
}

void AppDelegate::startCheckingForAccess() {
    if (timer.isActive())
        return;
    timer.start();
}

void AppDelegate::checkAccess() {
    if (!trust_.isProcessTrusted(false)) {
        printLine("disabled");
        return;
    }
    DarwinNotificationsManager::sharedInstance().postNotificationWithName(
        QString::fromLatin1(NotificationName::accessWasEnabled));
    timer.stop();
    printLine("enabled");
}
