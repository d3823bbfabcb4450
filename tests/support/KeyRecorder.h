#pragma once

#include <QList>
#include <QString>
#include <xcb/xcb.h>

using xcb_key_symbols_t = struct _XCBKeySymbols;

// A real X client with a focused window that records every key event it receives, as the
// frontmost application would get them. It can also play a user holding a key.
class KeyRecorder {
public:
    struct Key {
        bool press;
        xcb_keycode_t code;
        std::uint16_t state;
        // What the key gave under the mapping in force when it arrived.
        xcb_keysym_t keysym;
    };

    explicit KeyRecorder(const QString& display);
    ~KeyRecorder();
    KeyRecorder(const KeyRecorder&) = delete;
    KeyRecorder& operator=(const KeyRecorder&) = delete;

    // Maps the window and gives it the input focus; true once the server confirms it.
    bool takeFocus();
    QList<Key> keys();
    // Only the events of the key that gave `keysym` when it arrived.
    QList<Key> keysOf(xcb_keysym_t keysym);
    bool waitForKeys(xcb_keysym_t keysym, qsizetype count, int timeoutMs = 10000);

    xcb_keysym_t keysymOf(xcb_keycode_t code);
    xcb_keycode_t keycodeOf(xcb_keysym_t keysym);
    bool isHeld(xcb_keysym_t keysym);
    // Presses or releases a key through XTEST, as a user at the keyboard would.
    void fakeKey(xcb_keysym_t keysym, bool press);
    // Makes layout `group` of the keymap the active one, as a layout switch key would.
    void lockGroup(int group);

private:
    void readEvents();

    xcb_connection_t* connection_;
    xcb_key_symbols_t* symbols_;
    xcb_window_t window_ = 0;
    QList<Key> keys_;
    bool mapped_ = false;
    bool focused_ = false;
};
