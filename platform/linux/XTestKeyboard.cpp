#include "XTestKeyboard.h"

#include "XcbDisplay.h"

#include <algorithm>
#include <vector>
#include <xcb/xtest.h>

namespace {
// X keysyms of the keys the system types.
constexpr std::uint32_t XK_v = 0x0076;
constexpr std::uint32_t XK_Control_L = 0xffe3;
constexpr std::uint32_t XK_Control_R = 0xffe4;
// Where V sits on the standard layout, for a keymap in which no key gives "v".
constexpr char vPosition[] = "AB04";

constexpr std::size_t lockModifier = 1; // Caps Lock: a toggled state, not a held key
constexpr std::size_t controlModifier = 2;

void fake(xcb_connection_t* connection, std::uint8_t type, xcb_keycode_t code) {
    xcb_test_fake_input(connection, type, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}
} // namespace

XTestKeyboard::XTestKeyboard(std::shared_ptr<XcbDisplay> display)
    : display_(std::move(display)) {}

std::optional<KeyboardEvent> XTestKeyboard::createKeyboardEvent(std::uint16_t virtualKey,
                                                                bool keyDown, QString& whyNot) {
    if (virtualKey != Quartz::kVK_ANSI_V) {
        whyNot = QStringLiteral("virtual key %1 has no X key").arg(virtualKey);
        return std::nullopt;
    }
    // The key-down event is made first and brings the display up to date; the key-up follows at
    // once and finds it so.
    const bool current =
        keyDown ? display_->connection() && display_->caughtUp() : display_->live() != nullptr;
    if (!current || !display_->keymapReady()) {
        whyNot = display_->lastError();
        return std::nullopt;
    }
    xcb_keycode_t key = display_->keyFor(XK_v);
    if (!key)
        key = display_->keyNamed(vPosition);
    xcb_keycode_t control = display_->keyFor(XK_Control_L);
    if (!control)
        control = display_->keyFor(XK_Control_R);
    if (!key || !control) {
        whyNot = QStringLiteral("the keyboard map has no %1 key")
                     .arg(QLatin1String(key ? "Control" : "V"));
        return std::nullopt;
    }
    KeyboardEvent event{virtualKey, keyDown, 0, key, control, nullptr};
    // Which modifier keys the user holds costs a round trip; the server's state says when to ask.
    if (keyDown && display_->modifierDown()) {
        std::optional<XcbDisplay::ModifierKeys> held = display_->heldModifierKeys();
        if (!held) {
            whyNot = display_->lastError();
            return std::nullopt;
        }
        event.platformEvent = std::make_shared<const XcbDisplay::ModifierKeys>(std::move(*held));
    }
    return event;
}

void XTestKeyboard::postEvents(int, std::span<const KeyboardEvent> events, Posted posted) {
    xcb_connection_t* connection = display_->live();
    // Without XTEST the events go nowhere, as they do on a system that hasn't granted trust.
    if (!connection || !display_->hasXTest()) {
        posted({});
        return;
    }
    // The application must see exactly the event's modifiers: modifier keys the user holds are
    // let go for the chord and pressed again after it, so none stays down that wasn't before.
    std::vector<xcb_keycode_t> setAside;
    bool controlPressedHere = false;
    for (const KeyboardEvent& event : events) {
        const bool wantsControl = event.flags & Quartz::kCGEventFlagMaskCommand;
        const auto key = xcb_keycode_t(event.platformKey);
        const auto control = xcb_keycode_t(event.platformCommandKey);
        if (event.keyDown) {
            static const XcbDisplay::ModifierKeys none;
            const auto* held =
                static_cast<const XcbDisplay::ModifierKeys*>(event.platformEvent.get());
            const XcbDisplay::ModifierKeys& down = held ? *held : none;
            for (std::size_t modifier = 0; modifier < down.size(); ++modifier) {
                if (modifier == lockModifier || (modifier == controlModifier && wantsControl))
                    continue;
                for (const xcb_keycode_t code : down[modifier])
                    if (std::find(setAside.begin(), setAside.end(), code) == setAside.end()) {
                        fake(connection, XCB_KEY_RELEASE, code);
                        setAside.push_back(code);
                    }
            }
            if (wantsControl && down[controlModifier].empty() && !controlPressedHere) {
                fake(connection, XCB_KEY_PRESS, control);
                controlPressedHere = true;
            }
            fake(connection, XCB_KEY_PRESS, key);
        } else {
            fake(connection, XCB_KEY_RELEASE, key);
            if (controlPressedHere) {
                fake(connection, XCB_KEY_RELEASE, control);
                controlPressedHere = false;
            }
            for (const xcb_keycode_t code : setAside)
                fake(connection, XCB_KEY_PRESS, code);
            setAside.clear();
        }
    }
    xcb_flush(connection);
    posted({});
}
