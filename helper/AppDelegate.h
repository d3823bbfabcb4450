#pragma once

#include "FloodMemoryRelease.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

class AccessibilityTrust;
class KeyboardEventPoster;
class RunningApplications;

struct AgentIntervals {
    // How long the agent outlives the main application at most.
    std::chrono::milliseconds watchdog{std::chrono::seconds(60)};
    // How soon after the user grants access the installer hears of it.
    std::chrono::milliseconds accessPoll{std::chrono::seconds(1)};
};

// The agent: carries out the commands of the main application and of the installer.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    AppDelegate(RunningApplications& runningApplications, KeyboardEventPoster& keyboard,
                AccessibilityTrust& trust, AgentIntervals intervals = {});

    // Subscribes to every command, then asks `claim` whether this process is the one agent, then
    // announces the launch. False, with nothing announced, when the bus refused a subscription
    // (an agent deaf to a command must not pass for a working one) or the claim failed.
    [[nodiscard]] bool applicationDidFinishLaunching(const std::function<bool()>& claim = {});
    void applicationWillTerminate();
    // Ends the agent the orderly way; from here on no command acts.
    void terminate();

    void selfDestruct();
    void checkAccess();

    void paste();
    void requestAccess();
    void startCheckingForAccess();

private:
    // Whether a command may still act; asking notices a termination request that the main thread
    // has not been told of yet.
    bool mayAct();

    RunningApplications& runningApplications_;
    KeyboardEventPoster& keyboard_;
    AccessibilityTrust& trust_;
    QTimer watchdog_;
    // The access poll; it runs exactly while the timer is active.
    QTimer timer;
    bool terminating_ = false;
    FloodMemoryRelease memoryRelease_;
};
