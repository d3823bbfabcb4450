#pragma once

#include "XkbKeys.h"

#include <QObject>
#include <QString>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <xcb/xcb.h>

class QSocketNotifier;
struct xkb_context;

// The agent's one connection to the X display in DISPLAY: opened on first use, kept between uses,
// and opened again when the server went away. xcb, not Xlib, so that a dying server is an error to
// handle rather than the end of the process.
//
// The server can't hold the agent: every wait on it is bounded by `patience`, and a server that
// doesn't answer in time is dropped and, until it answers again, reported as not answering at
// once. The keyboard's layout and which modifiers are down are tracked from the XKB state events
// the server announces (modifier state only, never key events), so that the common paste needs no
// round trip.
class XcbDisplay final : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds patience{1000};
    using ModifierKeys = std::array<std::vector<xcb_keycode_t>, 8>;

    XcbDisplay();
    ~XcbDisplay() override;
    XcbDisplay(const XcbDisplay&) = delete;
    XcbDisplay& operator=(const XcbDisplay&) = delete;

    // The live connection, up to date with what the server announced; none, with the reason in
    // lastError(), when there is no server or it doesn't answer.
    xcb_connection_t* connection();
    // The connection as it stands, for work right after connection() that needs nothing new.
    xcb_connection_t* live() const { return connection_; }
    QString lastError() const { return lastError_; }
    bool hasXTest() const { return hasXTest_; }
    // Whether the server has read everything sent to it so far. When the socket says it hasn't,
    // asks it; a server that doesn't answer is dropped.
    bool caughtUp();
    // Whether the keyboard map is known, reading it anew after the server announced a change;
    // keyFor() and keyNamed() need it.
    bool keymapReady();
    // The key that gives `keysym` at the first level: in the active layout if a key does there,
    // else in another layout of the keymap; 0 when none does.
    xcb_keycode_t keyFor(std::uint32_t keysym);
    // The key of this XKB name ("AB04" is the V position of the standard layout); 0 when none.
    xcb_keycode_t keyNamed(const char* name);
    // Whether a modifier key is down, as the server last announced.
    bool modifierDown() const { return baseModifiers_ != 0; }
    // Per modifier index (Shift, Lock, Control, Mod1 … Mod5), the keys held down right now. One
    // round trip; none when the server doesn't answer.
    std::optional<ModifierKeys> heldModifierKeys();

    // The root window of the default screen, and the EWMH atom that names its active window.
    xcb_window_t root() const { return root_; }
    xcb_atom_t activeWindowAtom() const { return activeWindowAtom_; }
    // The EWMH atom by which a window manager says it runs (a window of its own that names
    // itself).
    xcb_atom_t windowManagerCheckAtom() const { return windowManagerCheckAtom_; }
    // From now on the end of these two counts as a possible change of the active window: the
    // window manager's own (it ended) and the active one (closed before the window manager names
    // the next one). Windows watched before and named no more are let go.
    void watchEnds(xcb_window_t manager, xcb_window_t active);
    // Counts the times the active window may have changed: each announcement of the root's
    // _NET_ACTIVE_WINDOW or _NET_SUPPORTING_WM_CHECK, the window manager's end, and each new
    // connection.
    std::uint64_t activeWindowChanges() const { return activeWindowChanges_; }
    // The reply to request `sequence`, within `patience`; none on an X error, or when the server
    // doesn't answer (then the connection is dropped).
    template <typename Reply>
    std::unique_ptr<Reply, decltype(&std::free)> await(unsigned int sequence);

Q_SIGNALS:
    // Events the server sent were read while the agent was idle.
    void eventsRead();

private:
    bool parseDisplay(std::string& host, int& number);
    bool answering();
    void open();
    void close();
    bool sync();
    void stalled();
    void readEvents();

    xcb_connection_t* connection_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    int probe_ = -1;
    bool stalled_ = false;
    bool hasXTest_ = false;
    QString lastError_;

    std::uint8_t xkbEvents_ = 0;
    std::int32_t keyboardDevice_ = -1;
    std::uint8_t baseModifiers_ = 0;
    std::uint32_t layout_ = 0;
    xkb_context* context_ = nullptr;
    XkbKeys keys_;
    bool keymapStale_ = true;
    std::optional<ModifierKeys> modifierKeys_;

    xcb_window_t root_ = XCB_NONE;
    xcb_atom_t activeWindowAtom_ = XCB_NONE;
    xcb_atom_t windowManagerCheckAtom_ = XCB_NONE;
    // The windows whose end is watched.
    xcb_window_t watchedManager_ = XCB_NONE;
    xcb_window_t watchedActive_ = XCB_NONE;
    std::uint64_t activeWindowChanges_ = 0;
};
