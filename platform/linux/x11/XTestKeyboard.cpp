#include "XTestKeyboard.h"

#include "PasteChords.h"
#include "X11FocusedApplication.h"
#include "XcbDisplay.h"

#include <algorithm>
#include <array>
#include <vector>
#include <xcb/xtest.h>

namespace {
// X keysyms of the keys the system types.
constexpr std::uint32_t XK_v = 0x0076;
constexpr std::uint32_t XK_Insert = 0xff63;
// Where V sits on the standard layout, for a keymap in which no key gives "v".
constexpr char vPosition[] = "AB04";

// A chord modifier: its keys (left, then right) and its core modifier index.
struct Modifier {
    std::uint32_t left, right;
    std::size_t index;
};
constexpr Modifier shift{0xffe1, 0xffe2, 0};
constexpr Modifier control{0xffe3, 0xffe4, 2};
constexpr Modifier alt{0xffe9, 0xffea, 3}; // Mod1, as every XKB keymap maps Alt
constexpr std::size_t lockModifier = 1;    // Caps Lock: a toggled state, not a held key

// What a key-down event carries to posting: the chord's keys, and the modifier keys the user held
// when it was made.
struct XTestChord {
    std::vector<std::pair<xcb_keycode_t, std::size_t>> modifiers; // key, core modifier index
    XcbDisplay::ModifierKeys held;
};

void fake(xcb_connection_t* connection, std::uint8_t type, xcb_keycode_t code) {
    xcb_test_fake_input(connection, type, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}
} // namespace

XTestKeyboard::XTestKeyboard(std::shared_ptr<XcbDisplay> display,
                             std::shared_ptr<X11FocusedApplication> focused,
                             std::shared_ptr<PasteChords> chords)
    : display_(std::move(display))
    , focused_(std::move(focused))
    , chords_(std::move(chords)) {}

std::optional<KeyboardEvent> XTestKeyboard::createKeyboardEvent(std::uint16_t virtualKey,
                                                                bool keyDown, QString& whyNot) {
    if (virtualKey != Quartz::kVK_ANSI_V) {
        whyNot = QStringLiteral("virtual key %1 has no X key").arg(virtualKey);
        return std::nullopt;
    }
    // The key-down event is made first and brings the display up to date (a window activated
    // just before included); the key-up follows at once and finds it so.
    const bool current =
        keyDown ? display_->connection() && display_->caughtUp() : display_->live() != nullptr;
    if (!current || !display_->keymapReady()) {
        whyNot = display_->lastError();
        return std::nullopt;
    }
    if (!keyDown) // the key-down event says which key goes up
        return KeyboardEvent{virtualKey, keyDown, 0, 0, 0, nullptr};
    const PasteChord chord = chords_->chordFor(focused_->names());
    xcb_keycode_t key = 0;
    if (chord.key == PasteChord::Key::insert) {
        key = display_->keyFor(XK_Insert);
    } else if (!(key = display_->keyFor(XK_v))) {
        key = display_->keyNamed(vPosition);
    }
    if (!key) {
        whyNot = QStringLiteral("the keyboard map has no key for %1").arg(chord.text());
        return std::nullopt;
    }
    KeyboardEvent event{virtualKey, keyDown, 0, key, 0, nullptr};
    auto made = std::make_shared<XTestChord>();
    for (const auto& [wanted, modifier] :
         {std::pair{chord.shift, shift}, {chord.control, control}, {chord.alt, alt}}) {
        if (!wanted)
            continue;
        xcb_keycode_t code = display_->keyFor(modifier.left);
        if (!code)
            code = display_->keyFor(modifier.right);
        if (!code) {
            whyNot = QStringLiteral("the keyboard map has no key for %1").arg(chord.text());
            return std::nullopt;
        }
        made->modifiers.emplace_back(code, modifier.index);
    }
    // Which modifier keys the user holds costs a round trip; the server's state says when to ask.
    if (display_->modifierDown()) {
        std::optional<XcbDisplay::ModifierKeys> held = display_->heldModifierKeys();
        if (!held) {
            whyNot = display_->lastError();
            return std::nullopt;
        }
        made->held = std::move(*held);
    }
    event.platformEvent = std::move(made);
    return event;
}

void XTestKeyboard::postEvents(int, std::span<const KeyboardEvent> events, Posted posted) {
    xcb_connection_t* connection = display_->live();
    // Without XTEST the events go nowhere, as they do on a system that hasn't granted trust.
    if (!connection || !display_->hasXTest()) {
        posted({});
        return;
    }
    // The application must see exactly the chord: modifier keys the user holds that the chord
    // doesn't use are let go for it and pressed again after it, and chord modifiers the user
    // already holds stay as they are, so none stays down that wasn't before.
    std::vector<xcb_keycode_t> setAside, pressedHere;
    xcb_keycode_t down = 0;
    for (const KeyboardEvent& event : events) {
        if (event.keyDown) {
            static const XTestChord plain;
            const auto* chord = static_cast<const XTestChord*>(event.platformEvent.get());
            const XTestChord& made = chord ? *chord : plain;
            const auto usedByChord = [&made](std::size_t index) {
                return std::any_of(
                    made.modifiers.begin(), made.modifiers.end(),
                    [index](const auto& modifier) { return modifier.second == index; });
            };
            for (std::size_t modifier = 0; modifier < made.held.size(); ++modifier) {
                if (modifier == lockModifier || usedByChord(modifier))
                    continue;
                for (const xcb_keycode_t code : made.held[modifier])
                    if (std::find(setAside.begin(), setAside.end(), code) == setAside.end()) {
                        fake(connection, XCB_KEY_RELEASE, code);
                        setAside.push_back(code);
                    }
            }
            for (const auto& [code, index] : made.modifiers)
                if (made.held[index].empty() &&
                    std::find(pressedHere.begin(), pressedHere.end(), code) == pressedHere.end()) {
                    fake(connection, XCB_KEY_PRESS, code);
                    pressedHere.push_back(code);
                }
            down = xcb_keycode_t(event.platformKey);
            fake(connection, XCB_KEY_PRESS, down);
        } else {
            if (down)
                fake(connection, XCB_KEY_RELEASE, down);
            down = 0;
            for (auto code = pressedHere.rbegin(); code != pressedHere.rend(); ++code)
                fake(connection, XCB_KEY_RELEASE, *code);
            pressedHere.clear();
            for (const xcb_keycode_t code : setAside)
                fake(connection, XCB_KEY_PRESS, code);
            setAside.clear();
        }
    }
    xcb_flush(connection);
    posted({});
}
