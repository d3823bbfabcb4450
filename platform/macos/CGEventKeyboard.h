#pragma once

#include "KeyboardEvents.h"

// Keyboard events posted at the HID event tap with CoreGraphics.
class CGEventKeyboard final : public KeyboardEventPoster {
public:
    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t virtualKey, bool keyDown,
                                                     QString& whyNot) override;
    void postEvents(int tap, std::span<const KeyboardEvent> events, Posted posted) override;

    // The CGEventRef of `event` as it is posted: its key with exactly `event.flags`.
    static const void* preparedEvent(const KeyboardEvent& event);
};
