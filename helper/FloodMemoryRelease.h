#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>

// After a flood of commands, gives the memory it took back to the system once the flood is over.
// An agent that only ever sees a command now and then never wakes up for this.
class FloodMemoryRelease final : public QObject {
    Q_OBJECT
public:
    explicit FloodMemoryRelease(std::chrono::milliseconds quiet = std::chrono::seconds(1));
    void noteCommand();

private:
    void check();

    QTimer timer_;
    long long commands_ = 0;
    long long commandsAtLastCheck_ = 0;
};
