#pragma once

#include "ApplicationLauncher.h"
#include "ErrorPresentation.h"
#include "RunningApplications.h"

#include <QList>
#include <QSet>
#include <QStringList>
#include <chrono>

// Stand-ins for the platform services that a window test can't let loose: which applications
// run, launching one, and a modal error box.
class FakeRunningApplications final : public RunningApplications {
public:
    bool isRunning(const QString& bundleIdentifier) override {
        return running.contains(bundleIdentifier);
    }
    QSet<QString> running;
};

class RecordingLauncher final : public ApplicationLauncher {
public:
    std::optional<Error> launchApplication(const QString& bundlePath) override {
        launched << bundlePath;
        return failure;
    }
    QStringList launched;
    std::optional<Error> failure;
};

class RecordingErrorPresentation final : public ErrorPresentation {
public:
    void presentError(QWidget*, const Error& error) override { presented << error; }
    QList<Error> presented;
};

struct RecordingSleep {
    QList<std::chrono::seconds> pauses;
    void operator()(std::chrono::seconds pause) { pauses << pause; }
};
