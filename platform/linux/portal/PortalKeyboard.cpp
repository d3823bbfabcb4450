#include "PortalKeyboard.h"

#include "KWinActiveWindow.h"
#include "PasteChords.h"
#include "RemoteDesktopSession.h"
#include "WaylandKeymap.h"

namespace {
constexpr std::uint32_t XK_v = 0x0076;
constexpr std::uint32_t XK_Insert = 0xff63;
// XKB keycodes are evdev codes plus 8.
constexpr std::uint32_t evdevOffset = 8;
constexpr std::uint32_t KEY_V = 47;
constexpr std::uint32_t KEY_INSERT = 110;

// A chord modifier: its keysym, and its evdev code on a standard keyboard.
struct Modifier {
    std::uint32_t keysym, evdev;
};
constexpr Modifier control{0xffe3, 29}, shift{0xffe1, 42}, alt{0xffe9, 56};
// Where V sits on the standard layout, for a keymap in which no key gives "v".
constexpr char vPosition[] = "AB04";
} // namespace

PortalKeyboard::PortalKeyboard(std::shared_ptr<RemoteDesktopSession> session,
                               std::shared_ptr<WaylandKeymap> keymap,
                               std::shared_ptr<KWinActiveWindow> active,
                               std::shared_ptr<PasteChords> chords)
    : session_(std::move(session))
    , keymap_(std::move(keymap))
    , active_(std::move(active))
    , chords_(std::move(chords)) {}

std::optional<KeyboardEvent> PortalKeyboard::createKeyboardEvent(std::uint16_t virtualKey,
                                                                 bool keyDown, QString& whyNot) {
    if (virtualKey != Quartz::kVK_ANSI_V) {
        whyNot = QStringLiteral("virtual key %1 has no Wayland key").arg(virtualKey);
        return std::nullopt;
    }
    if (!session_->isStarted()) {
        whyNot = QStringLiteral("there is no typing session with the desktop; "
                                "shouldRequestAccess asks for one");
        return std::nullopt;
    }
    return KeyboardEvent{virtualKey, keyDown, 0, 0, 0, nullptr};
}

std::vector<RemoteDesktopSession::Key>
PortalKeyboard::keysOf(WaylandKeymap& keymap, XkbKeys* eisKeys, const PasteChord& chord,
                       const std::vector<KeyboardEvent>& events) {
    // Resolved as the chord goes out, not when it was asked for: the layout may change while
    // chords before it are typed. Through EIS, the keycodes are those of its keyboard's keymap.
    const bool insert = chord.key == PasteChord::Key::insert;
    XkbKeys& keys = eisKeys ? *eisKeys : keymap.keys();
    const bool symbol = !keys.known();
    const auto code = [&](std::uint32_t keysym, std::uint32_t evdev, std::uint32_t found) {
        if (symbol)
            return int(keysym);
        return int(found > evdevOffset ? found - evdevOffset : evdev);
    };
    int key = 0;
    if (insert) {
        key = code(XK_Insert, KEY_INSERT, symbol ? 0 : keys.keyFor(0, XK_Insert));
    } else {
        std::uint32_t v = symbol ? 0 : keys.keyFor(keymap.activeLayout(), XK_v);
        if (!symbol && !v)
            v = keys.keyNamed(vPosition);
        key = code(XK_v, KEY_V, v);
    }
    std::vector<int> modifiers;
    for (const auto& [wanted, modifier] :
         {std::pair{chord.control, control}, {chord.shift, shift}, {chord.alt, alt}})
        if (wanted)
            modifiers.push_back(code(modifier.keysym, modifier.evdev,
                                     symbol ? 0 : keys.keyFor(0, modifier.keysym)));
    std::vector<RemoteDesktopSession::Key> sent;
    for (const KeyboardEvent& event : events) {
        const bool withModifiers = event.flags & Quartz::kCGEventFlagMaskCommand;
        if (event.keyDown) {
            if (withModifiers)
                for (const int modifier : modifiers)
                    sent.push_back({symbol, modifier, true});
            sent.push_back({symbol, key, true});
        } else {
            sent.push_back({symbol, key, false});
            if (withModifiers)
                for (auto modifier = modifiers.rbegin(); modifier != modifiers.rend(); ++modifier)
                    sent.push_back({symbol, *modifier, false});
        }
    }
    return sent;
}

void PortalKeyboard::postEvents(int, std::span<const KeyboardEvent> events, Posted posted) {
    // The session runs this from its own queue, so it outlives it.
    session_->type(
        [session = session_.get(), keymap = keymap_, active = active_, chords = chords_,
         chord = std::vector<KeyboardEvent>(events.begin(), events.end())] {
            return keysOf(*keymap, session->eisKeys(), chords->chordFor(active->names()), chord);
        },
        std::move(posted));
}

void PortalKeyboard::cancelPending() {
    session_->cancel();
}
