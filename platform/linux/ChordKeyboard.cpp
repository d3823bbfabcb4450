#include "ChordKeyboard.h"

#include "ChordTyper.h"
#include "PasteChords.h"

ChordKeyboard::ChordKeyboard(std::shared_ptr<ChordTyper> typer, std::shared_ptr<PasteChords> chords)
    : typer_(std::move(typer))
    , chords_(std::move(chords)) {}

std::optional<KeyboardEvent> ChordKeyboard::createKeyboardEvent(std::uint16_t virtualKey,
                                                                bool keyDown, QString& whyNot) {
    if (virtualKey != Quartz::kVK_ANSI_V) {
        whyNot = QStringLiteral("virtual key %1 has no Wayland key").arg(virtualKey);
        return std::nullopt;
    }
    if (whyNot = typer_->whyNotReady(); !whyNot.isEmpty())
        return std::nullopt;
    return KeyboardEvent{virtualKey, keyDown, 0, 0, 0, nullptr};
}

// The chord is the one key-down and key-up the platform asks for, typed whole.
void ChordKeyboard::postEvents(int, std::span<const KeyboardEvent>, Posted posted) {
    typer_->type([chords = chords_](const QStringList& active) { return chords->chordFor(active); },
                 std::move(posted));
}

void ChordKeyboard::cancelPending() {
    typer_->cancel();
}
