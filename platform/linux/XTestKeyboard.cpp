#include "XTestKeyboard.h"

#include "XcbDisplay.h"

#include <vector>
#include <xcb/xtest.h>

namespace {
// X keysyms of the keys the system types.
constexpr xcb_keysym_t XK_v = 0x0076;
constexpr xcb_keysym_t XK_Control_L = 0xffe3;
constexpr xcb_keysym_t XK_Control_R = 0xffe4;

constexpr int lockModifier = 1; // Caps Lock: a toggled state, not a held key
constexpr int controlModifier = 2;

xcb_keysym_t keysymOf(std::uint16_t virtualKey) {
    return virtualKey == Quartz::kVK_ANSI_V ? XK_v : 0;
}

bool isPressed(const std::array<std::uint8_t, 32>& keys, xcb_keycode_t code) {
    return keys[code / 8] & (1u << (code % 8));
}

void fake(xcb_connection_t* connection, std::uint8_t type, xcb_keycode_t code) {
    xcb_test_fake_input(connection, type, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}
} // namespace

XTestKeyboard::XTestKeyboard(std::shared_ptr<XcbDisplay> display)
    : display_(std::move(display)) {}

std::optional<KeyboardEvent> XTestKeyboard::createKeyboardEvent(std::uint16_t virtualKey,
                                                                bool keyDown, QString& whyNot) {
    if (!display_->connection()) {
        whyNot = display_->lastError();
        return std::nullopt;
    }
    const xcb_keysym_t keysym = keysymOf(virtualKey);
    const xcb_keycode_t key = keysym ? display_->keycodeFor(keysym) : 0;
    if (!key) {
        whyNot = keysym ? QStringLiteral("no key of the active keyboard layout gives \"v\"")
                        : QStringLiteral("virtual key %1 has no X key").arg(virtualKey);
        return std::nullopt;
    }
    xcb_keycode_t control = display_->keycodeFor(XK_Control_L);
    if (!control)
        control = display_->keycodeFor(XK_Control_R);
    if (!control) {
        whyNot = QStringLiteral("the keyboard map has no Control key");
        return std::nullopt;
    }
    return KeyboardEvent{virtualKey, keyDown, 0, key, control, nullptr};
}

void XTestKeyboard::postEvents(int, std::span<const KeyboardEvent> events) {
    xcb_connection_t* connection = display_->connection();
    // Without XTEST the events go nowhere, as they do on a system that hasn't granted trust.
    if (!connection || !display_->hasXTest())
        return;
    const auto& modifierKeys = display_->modifierKeys();
    const auto held = display_->pressedKeys();

    // The application must see exactly the event's modifiers: modifier keys the user holds are
    // let go for the chord and pressed again after it, so none stays down that wasn't before.
    std::vector<xcb_keycode_t> setAside;
    bool controlPressedHere = false;
    for (const KeyboardEvent& event : events) {
        const bool wantsControl = event.flags & Quartz::kCGEventFlagMaskCommand;
        const auto key = xcb_keycode_t(event.platformKey);
        const auto control = xcb_keycode_t(event.platformCommandKey);
        if (event.keyDown) {
            for (int modifier = 0; modifier < 8; ++modifier) {
                if (modifier == lockModifier || (modifier == controlModifier && wantsControl))
                    continue;
                for (const xcb_keycode_t code : modifierKeys[modifier])
                    if (isPressed(held, code) &&
                        !std::count(setAside.begin(), setAside.end(), code)) {
                        fake(connection, XCB_KEY_RELEASE, code);
                        setAside.push_back(code);
                    }
            }
            const bool controlHeld = std::any_of(
                modifierKeys[controlModifier].begin(), modifierKeys[controlModifier].end(),
                [&](xcb_keycode_t code) { return isPressed(held, code); });
            if (wantsControl && !controlHeld && !controlPressedHere) {
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
}
