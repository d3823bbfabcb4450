#pragma once

#include "KeyboardEvents.h"

#include <memory>

class ChordTyper;
class PasteChords;

// Keystrokes through a ChordTyper: the platform's paste (Command+V) becomes the chord the active
// application takes, chosen as it goes out.
class ChordKeyboard final : public KeyboardEventPoster {
public:
    ChordKeyboard(std::shared_ptr<ChordTyper> typer, std::shared_ptr<PasteChords> chords);

    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t virtualKey, bool keyDown,
                                                     QString& whyNot) override;
    void postEvents(int tap, std::span<const KeyboardEvent> events, Posted posted) override;
    void cancelPending() override;

private:
    std::shared_ptr<ChordTyper> typer_;
    std::shared_ptr<PasteChords> chords_;
};
