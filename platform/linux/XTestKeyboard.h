#pragma once

#include "KeyboardEvents.h"

#include <memory>

class XcbDisplay;

// Keystrokes through the XTEST extension. The platform's shortcut modifier (Command) is Control
// here, and the V key is whichever key gives "v" in the active layout, so that a Dvorak or AZERTY
// user gets a paste and not Control+K.
class XTestKeyboard final : public KeyboardEventPoster {
public:
    explicit XTestKeyboard(std::shared_ptr<XcbDisplay> display);

    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t virtualKey, bool keyDown,
                                                     QString& whyNot) override;
    void postEvents(int tap, std::span<const KeyboardEvent> events) override;

private:
    std::shared_ptr<XcbDisplay> display_;
};
