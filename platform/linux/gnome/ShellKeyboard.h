#pragma once

#include "KeyboardEvents.h"

#include <memory>

class PasteChords;
class ShellExtension;

// Keystrokes through Kelmo Helper's GNOME Shell extension: the platform's paste (Command+V)
// becomes the chord the focused window's application takes, typed by the Shell.
class ShellKeyboard final : public KeyboardEventPoster {
public:
    ShellKeyboard(std::shared_ptr<ShellExtension> extension, std::shared_ptr<PasteChords> chords);

    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t virtualKey, bool keyDown,
                                                     QString& whyNot) override;
    void postEvents(int tap, std::span<const KeyboardEvent> events, Posted posted) override;
    void cancelPending() override;

private:
    std::shared_ptr<ShellExtension> extension_;
    std::shared_ptr<PasteChords> chords_;
};
