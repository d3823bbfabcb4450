#pragma once

#include <QString>

// Which applications run, by bundle identifier.
class RunningApplications {
public:
    RunningApplications() = default;
    RunningApplications(const RunningApplications&) = delete;
    RunningApplications& operator=(const RunningApplications&) = delete;
    virtual ~RunningApplications() = default;

    virtual bool isRunning(const QString& bundleIdentifier) = 0;
};
