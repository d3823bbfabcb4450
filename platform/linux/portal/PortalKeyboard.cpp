#include "PortalKeyboard.h"

#include "RemoteDesktopSession.h"
#include "WaylandKeymap.h"

namespace {
constexpr std::uint32_t XK_v = 0x0076;
constexpr std::uint32_t XK_Control_L = 0xffe3;
// XKB keycodes are evdev codes plus 8.
constexpr std::uint32_t evdevOffset = 8;
constexpr std::uint32_t KEY_LEFTCTRL = 29;
constexpr std::uint32_t KEY_V = 47;
// Where V sits on the standard layout, for a keymap in which no key gives "v".
constexpr char vPosition[] = "AB04";
} // namespace

PortalKeyboard::PortalKeyboard(std::shared_ptr<RemoteDesktopSession> session,
                               std::shared_ptr<WaylandKeymap> keymap)
    : session_(std::move(session))
    , keymap_(std::move(keymap)) {}

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
PortalKeyboard::keysOf(WaylandKeymap& keymap, const std::vector<KeyboardEvent>& events) {
    // Resolved as the chord goes out, not when it was asked for: the layout may change while
    // chords before it are typed.
    bool symbol = true;
    int key = XK_v;
    int control = XK_Control_L;
    XkbKeys& keys = keymap.keys();
    if (keys.known()) {
        std::uint32_t v = keys.keyFor(keymap.activeLayout(), XK_v);
        if (!v)
            v = keys.keyNamed(vPosition);
        const std::uint32_t ctrl = keys.keyFor(0, XK_Control_L);
        symbol = false;
        key = int(v > evdevOffset ? v - evdevOffset : KEY_V);
        control = int(ctrl > evdevOffset ? ctrl - evdevOffset : KEY_LEFTCTRL);
    }
    std::vector<RemoteDesktopSession::Key> chord;
    for (const KeyboardEvent& event : events) {
        const bool withControl = event.flags & Quartz::kCGEventFlagMaskCommand;
        if (event.keyDown) {
            if (withControl)
                chord.push_back({symbol, control, true});
            chord.push_back({symbol, key, true});
        } else {
            chord.push_back({symbol, key, false});
            if (withControl)
                chord.push_back({symbol, control, false});
        }
    }
    return chord;
}

void PortalKeyboard::postEvents(int, std::span<const KeyboardEvent> events, Posted posted) {
    session_->type(
        [keymap = keymap_, chord = std::vector<KeyboardEvent>(events.begin(), events.end())] {
            return keysOf(*keymap, chord);
        },
        std::move(posted));
}

void PortalKeyboard::cancelPending() {
    session_->cancel();
}
