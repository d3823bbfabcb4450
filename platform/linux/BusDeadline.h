#pragma once

#include <algorithm>
#include <chrono>

// One bound for a series of blocking bus calls, such as the agent's start: each call waits only
// for what is left of it, so that a bus that stops answering midway holds the series no longer
// than the bound, however many calls follow.
class BusDeadline {
public:
    explicit BusDeadline(std::chrono::milliseconds bound)
        : end_(std::chrono::steady_clock::now() + bound) {}

    // What is left, in milliseconds for QtDBus; at least 1, since 0 or less would mean Qt's own
    // 25 s default.
    int remainingMs() const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end_ - std::chrono::steady_clock::now());
        return int(std::max<std::chrono::milliseconds::rep>(left.count(), 1));
    }

private:
    std::chrono::steady_clock::time_point end_;
};
