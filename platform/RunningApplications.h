#pragma once

#include <QString>

// Which applications run, by bundle identifier.
class RunningApplications {
public:
    RunningApplications() = default;
    RunningApplications(const RunningApplications&) = delete;
    RunningApplications& operator=(const RunningApplications&) = delete;
    virtual ~RunningApplications() = default;

    // False also when it can't be told now: then starting it is the safe guess.
    virtual bool isRunning(const QString& bundleIdentifier) = 0;
    // Whether it is known not to run: false when it can't be told now (a stalled bus), since
    // ending something on a guess is not safe.
    virtual bool isKnownNotRunning(const QString& bundleIdentifier) {
        return !isRunning(bundleIdentifier);
    }
};
