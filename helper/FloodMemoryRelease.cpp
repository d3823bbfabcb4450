#include "FloodMemoryRelease.h"

#include "MemoryRelease.h"

namespace {
// Fewer commands than this leave nothing worth giving back.
constexpr int floodSize = 1000;
} // namespace

FloodMemoryRelease::FloodMemoryRelease(std::chrono::milliseconds quiet) {
    timer_.setInterval(quiet);
    connect(&timer_, &QTimer::timeout, this, &FloodMemoryRelease::check);
}

void FloodMemoryRelease::noteCommand() {
    if (++commands_ >= floodSize && !timer_.isActive())
        timer_.start();
}

void FloodMemoryRelease::check() {
    if (commands_ != commandsAtLastCheck_) {
        commandsAtLastCheck_ = commands_;
        return;
    }
    timer_.stop();
    commands_ = commandsAtLastCheck_ = 0;
    releaseUnusedMemory();
}
