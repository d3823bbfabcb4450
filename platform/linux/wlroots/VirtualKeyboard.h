#pragma once

#include "KeyboardEvents.h"

#include <memory>

class PasteChords;
class WlrootsSession;

// Keystrokes through the wlroots virtual keyboard: the platform's paste (Command+V) becomes the
// chord the activated toplevel's application takes, typed as keys of the agent's own keymap.
class VirtualKeyboard final : public KeyboardEventPoster {
public:
    VirtualKeyboard(std::shared_ptr<WlrootsSession> session, std::shared_ptr<PasteChords> chords);

    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t virtualKey, bool keyDown,
                                                     QString& whyNot) override;
    void postEvents(int tap, std::span<const KeyboardEvent> events, Posted posted) override;
    void cancelPending() override;

private:
    std::shared_ptr<WlrootsSession> session_;
    std::shared_ptr<PasteChords> chords_;
};
