#pragma once

#include <QString>
#include <array>
#include <unordered_map>
#include <vector>
#include <xcb/xcb.h>

using xcb_key_symbols_t = struct _XCBKeySymbols;

// The agent's one connection to the X display in DISPLAY: opened on first use, kept between
// uses, and opened again when the server went away. xcb, not Xlib, so that a dying server is an
// error to handle rather than the end of the process.
class XcbDisplay {
public:
    XcbDisplay() = default;
    ~XcbDisplay();
    XcbDisplay(const XcbDisplay&) = delete;
    XcbDisplay& operator=(const XcbDisplay&) = delete;

    // The live connection, or none with the reason in lastError().
    xcb_connection_t* connection();
    QString lastError() const { return lastError_; }
    // Whether the connection that connection() gave offers XTEST; the answer is kept with it.
    bool hasXTest();
    // The key that gives `keysym` without Shift in the active layout; 0 when none does. Kept
    // until the server announces a new keyboard mapping.
    xcb_keycode_t keycodeFor(xcb_keysym_t keysym);
    // Keys that are modifiers, per modifier index (Shift, Lock, Control, Mod1 … Mod5).
    const std::array<std::vector<xcb_keycode_t>, 8>& modifierKeys();
    // Every key held down right now; one round trip.
    std::array<std::uint8_t, 32> pressedKeys();

private:
    void close();
    void applyPendingEvents();
    void forgetKeyboardMapping();

    xcb_connection_t* connection_ = nullptr;
    xcb_key_symbols_t* symbols_ = nullptr;
    QString lastError_;
    std::unordered_map<xcb_keysym_t, xcb_keycode_t> keycodes_;
    std::array<std::vector<xcb_keycode_t>, 8> modifierKeys_;
    bool modifierKeysKnown_ = false;
};
