#include "AppDelegate.h"

#include "AccessibilityTrust.h"
#include "DarwinNotificationsManager.h"
#include "KeyboardEvents.h"
#include "NotificationNames.h"
#include "RunningApplications.h"
#include "StandardOutput.h"
#include "SystemLog.h"
#include "TerminationRequests.h"

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

bool AppDelegate::applicationDidFinishLaunching(const std::function<bool()>& claim) {
    auto& manager = DarwinNotificationsManager::sharedInstance();
    using Action = void (AppDelegate::*)();
    const std::pair<const char*, Action> commands[] = {
        {NotificationName::shouldPaste, &AppDelegate::paste},
        {NotificationName::shouldTerminate, &AppDelegate::terminate},
        {NotificationName::shouldRequestAccess, &AppDelegate::requestAccess},
        {NotificationName::shouldStartCheckingForAccess, &AppDelegate::startCheckingForAccess},
    };
    // Every command is subscribed before the launch is announced, so a peer may answer the
    // announcement with a command at once.
    for (const auto& command : commands) {
        // Plain copies: a structured binding can't be captured by clang before 16.
        const char* const name = command.first;
        const Action action = command.second;
        const auto block = [this, action] {
            if (!mayAct())
                return;
            (this->*action)();
            memoryRelease_.noteCommand();
        };
        if (!manager.registerForNotificationName(QString::fromLatin1(name), block)) {
            SystemLog::printErrorLine(
                QStringLiteral("cannot receive %1 from the bus; the agent exits")
                    .arg(QLatin1String(name)));
            return false;
        }
    }
    if (claim && !claim())
        return false;
    manager.postNotificationWithName(QString::fromLatin1(NotificationName::didFinishLaunching));
    watchdog_.start();
    return true;
}

void AppDelegate::applicationWillTerminate() {
    printLine("$ Kelmo Helper: willTerminate");
    DarwinNotificationsManager::sharedInstance().postNotificationWithName(
        QString::fromLatin1(NotificationName::willTerminate));
}

void AppDelegate::selfDestruct() {
    // A question the bus left unanswered is asked again at the next tick.
    if (runningApplications_.isKnownNotRunning(
            QString::fromLatin1(BundleIdentifier::mainApplication)))
        terminate();
}

void AppDelegate::terminate() {
    terminating_ = true;
    watchdog_.stop();
    timer.stop();
    keyboard_.cancelPending();
    QCoreApplication::quit();
}

bool AppDelegate::mayAct() {
    if (!terminating_ && terminationRequested())
        terminate();
    return !terminating_;
}

void AppDelegate::paste() {
    printLine("$ Kelmo Helper: paste()");
    // Both events exist before either is posted: never a lone key-down.
    QString whyNot;
    std::optional<KeyboardEvent> keyDown =
        keyboard_.createKeyboardEvent(Quartz::kVK_ANSI_V, true, whyNot);
    std::optional<KeyboardEvent> keyUp;
    if (keyDown)
        keyUp = keyboard_.createKeyboardEvent(Quartz::kVK_ANSI_V, false, whyNot);
    if (!keyDown || !keyUp) {
        SystemLog::printErrorLine(QStringLiteral("cannot paste: %1").arg(whyNot));
        return;
    }
    keyDown->flags = Quartz::kCGEventFlagMaskCommand;
    keyUp->flags = Quartz::kCGEventFlagMaskCommand;
    const std::array events{*keyDown, *keyUp};
    keyboard_.postEvents(Quartz::kCGHIDEventTap, events, [](const QString& failure) {
        if (!failure.isEmpty()) {
            SystemLog::printErrorLine(QStringLiteral("cannot paste: %1").arg(failure));
            return;
        }
        printLine("$ Kelmo Helper: didPaste");
        DarwinNotificationsManager::sharedInstance().postNotificationWithName(
            QString::fromLatin1(NotificationName::didPaste));
    });
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
