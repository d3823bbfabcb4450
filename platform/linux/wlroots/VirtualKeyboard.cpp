#include "VirtualKeyboard.h"

#include "PasteChords.h"
#include "WlrootsSession.h"

VirtualKeyboard::VirtualKeyboard(std::shared_ptr<WlrootsSession> session,
                                 std::shared_ptr<PasteChords> chords)
    : session_(std::move(session))
    , chords_(std::move(chords)) {}

std::optional<KeyboardEvent> VirtualKeyboard::createKeyboardEvent(std::uint16_t virtualKey,
                                                                  bool keyDown, QString& whyNot) {
    if (virtualKey != Quartz::kVK_ANSI_V) {
        whyNot = QStringLiteral("virtual key %1 has no Wayland key").arg(virtualKey);
        return std::nullopt;
    }
    if (!session_->ready()) {
        whyNot = QStringLiteral("there is no virtual keyboard (%1); shouldRequestAccess makes one")
                     .arg(session_->lastError());
        return std::nullopt;
    }
    return KeyboardEvent{virtualKey, keyDown, 0, 0, 0, nullptr};
}

// The chord is the one key-down and key-up the platform asks for, with the application's
// modifiers; it is chosen as it goes out, for the toplevel active then.
void VirtualKeyboard::postEvents(int, std::span<const KeyboardEvent>, Posted posted) {
    session_->type(
        [chords = chords_](const QStringList& active) { return chords->chordFor(active); },
        std::move(posted));
}

void VirtualKeyboard::cancelPending() {
    session_->cancel();
}
