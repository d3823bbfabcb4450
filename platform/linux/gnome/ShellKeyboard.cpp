#include "ShellKeyboard.h"

#include "PasteChords.h"
#include "ShellExtension.h"

ShellKeyboard::ShellKeyboard(std::shared_ptr<ShellExtension> extension,
                             std::shared_ptr<PasteChords> chords)
    : extension_(std::move(extension))
    , chords_(std::move(chords)) {}

std::optional<KeyboardEvent> ShellKeyboard::createKeyboardEvent(std::uint16_t virtualKey,
                                                                bool keyDown, QString& whyNot) {
    if (virtualKey != Quartz::kVK_ANSI_V) {
        whyNot = QStringLiteral("virtual key %1 has no GNOME Shell key").arg(virtualKey);
        return std::nullopt;
    }
    if (!extension_->enabled()) {
        whyNot = QStringLiteral("the GNOME Shell extension %1 is switched off or GNOME Shell has "
                                "gone; shouldRequestAccess switches it on")
                     .arg(QLatin1String(ShellExtension::uuid));
        return std::nullopt;
    }
    return KeyboardEvent{virtualKey, keyDown, 0, 0, 0, nullptr};
}

// The Shell types the whole chord, key-down and key-up, in one call.
void ShellKeyboard::postEvents(int, std::span<const KeyboardEvent>, Posted posted) {
    extension_->paste(
        [chords = chords_](const QStringList& focused) { return chords->chordFor(focused); },
        std::move(posted));
}

void ShellKeyboard::cancelPending() {
    extension_->cancel();
}
