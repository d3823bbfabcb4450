#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

// The paste chord in the terms of the platform it was designed on; other platforms map them. In a
// namespace of their own: macOS's headers define the same names, and those must stay the system's.
namespace Quartz {
inline constexpr std::uint16_t kVK_ANSI_V = 9;
inline constexpr std::uint64_t kCGEventFlagMaskCommand = 0x100000;
inline constexpr int kCGHIDEventTap = 0;
} // namespace Quartz

struct KeyboardEvent {
    std::uint16_t virtualKey = 0;
    bool keyDown = false;
    // Exactly the modifiers the receiving application sees with the key.
    std::uint64_t flags = 0;
    // Resolved by the platform when the event is created, so that posting can't fail half way.
    std::uint32_t platformKey = 0;
    std::uint32_t platformCommandKey = 0;
    // The platform's own event object, where it has one; released with the last copy.
    std::shared_ptr<const void> platformEvent;
};

// Synthetic keystrokes into the user's session, as if typed.
class KeyboardEventPoster {
public:
    KeyboardEventPoster() = default;
    KeyboardEventPoster(const KeyboardEventPoster&) = delete;
    KeyboardEventPoster& operator=(const KeyboardEventPoster&) = delete;
    virtual ~KeyboardEventPoster() = default;

    // An event for `virtualKey`, without flags; none, with the reason in `whyNot`, when the
    // platform can't make one.
    virtual std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t virtualKey, bool keyDown,
                                                             QString& whyNot) = 0;
    // Runs once the events are posted: with an empty reason, or with why they could not be.
    using Posted = std::function<void(const QString& failure)>;
    // Posts the events at `tap` one right after another, with nothing in between. Where posting
    // is immediate, `posted` runs before this returns; where the desktop has to accept each event
    // first, it runs when the desktop has.
    virtual void postEvents(int tap, std::span<const KeyboardEvent> events, Posted posted) = 0;
    // The process ends: events not posted yet are dropped, keys they pressed are released, and
    // no `posted` runs any more. Nothing is pending where posting is immediate.
    virtual void cancelPending() {}
};
