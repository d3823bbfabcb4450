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
// Marks events whose keys are keysyms rather than keycodes.
const auto bySymbol = std::make_shared<const bool>(true);
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
    KeyboardEvent event{virtualKey, keyDown, 0, XK_v, XK_Control_L, bySymbol};
    XkbKeys& keys = keymap_->keys();
    if (keys.known()) {
        std::uint32_t key = keys.keyFor(keymap_->activeLayout(), XK_v);
        if (!key)
            key = keys.keyNamed(vPosition);
        const std::uint32_t control = keys.keyFor(0, XK_Control_L);
        event.platformKey = key > evdevOffset ? key - evdevOffset : KEY_V;
        event.platformCommandKey = control > evdevOffset ? control - evdevOffset : KEY_LEFTCTRL;
        event.platformEvent = nullptr;
    }
    return event;
}

void PortalKeyboard::postEvents(int, std::span<const KeyboardEvent> events, Posted posted) {
    std::vector<RemoteDesktopSession::Key> keys;
    for (const KeyboardEvent& event : events) {
        const bool symbol = event.platformEvent == bySymbol;
        const int key = int(event.platformKey);
        const int control = int(event.platformCommandKey);
        const bool withControl = event.flags & Quartz::kCGEventFlagMaskCommand;
        if (event.keyDown) {
            if (withControl)
                keys.push_back({symbol, control, true});
            keys.push_back({symbol, key, true});
        } else {
            keys.push_back({symbol, key, false});
            if (withControl)
                keys.push_back({symbol, control, false});
        }
    }
    session_->type(std::move(keys), std::move(posted));
}

void PortalKeyboard::cancelPending() {
    session_->cancel();
}
