#pragma once

#include "ChordTyper.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>

class QSocketNotifier;
class QTimer;
struct wl_callback;
struct wl_display;
struct wl_registry;
struct wl_seat;
struct xkb_keymap;
struct xkb_state;
struct zwlr_foreign_toplevel_handle_v1;
struct zwlr_foreign_toplevel_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;

// Typing on a wlroots compositor (sway, Hyprland, river, labwc, Wayfire): a virtual keyboard of
// the agent's own on its own Wayland connection, with a keymap it uploads itself, so a chord's
// keys mean the same whatever the user's layout. These compositors let any client of the session
// make one; that is all the permission there is. The same connection follows which toplevel is
// activated, and its app_id, for the chord.
//
// A chord is written whole, and the next only once the compositor has answered a wl_display.sync
// sent after it, so a burst can't outrun the compositor and a stalled one holds at most one chord.
// Every wait is bounded by `patience`. The compositor going
// away ends the session: nothing is typed, and trust is lost until open() finds a compositor again.
class WlrootsSession final : public QObject, public ChordTyper {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds patience{1000};

    WlrootsSession();
    ~WlrootsSession() override;
    WlrootsSession(const WlrootsSession&) = delete;
    WlrootsSession& operator=(const WlrootsSession&) = delete;

    // Connects to the compositor in WAYLAND_DISPLAY unless connected, and makes the keyboard
    // unless it has one or is told not to; waits `patience` at most for each of the two. False,
    // with the reason in lastError(), when it can't.
    bool open(bool withKeyboard = true);
    // Whether the compositor offers virtual keyboards (known once open() has reached it).
    bool offersVirtualKeyboard() const { return offers_; }
    bool ready() const { return keyboard_ != nullptr; }
    QString lastError() const { return lastError_; }
    // The app_id of the activated toplevel; empty when none is known.
    QStringList activeApplication() const;

    QString whyNotReady() const override;
    // What the compositor has said already (a toplevel activated, an answer, its end) is read
    // before the chord is chosen; `typed` runs once the chord is written.
    void type(Chooser choose, Typed typed) override;
    void cancel() override;

private:
    struct Toplevel {
        QString appId;
        bool activated = false;
    };

    bool roundTrip();
    bool makeKeyboard();
    void writeNext();
    void caughtUp();
    void readEvents();
    void readAvailable();
    void closeLater(const QString& why);
    void close(const QString& why);
    void sendKey(std::uint32_t key, bool down);

    static void global(void* self, wl_registry*, std::uint32_t name, const char* interface,
                       std::uint32_t version);
    static void toplevel(void* self, zwlr_foreign_toplevel_manager_v1*,
                         zwlr_foreign_toplevel_handle_v1* handle);
    static void appId(void* self, zwlr_foreign_toplevel_handle_v1* handle, const char* id);
    static void state(void* self, zwlr_foreign_toplevel_handle_v1* handle, struct wl_array* states);
    static void closed(void* self, zwlr_foreign_toplevel_handle_v1* handle);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    zwp_virtual_keyboard_manager_v1* manager_ = nullptr;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    zwlr_foreign_toplevel_manager_v1* toplevels_ = nullptr;
    std::map<zwlr_foreign_toplevel_handle_v1*, Toplevel> handles_;
    std::unique_ptr<QSocketNotifier> notifier_;
    xkb_keymap* keymap_ = nullptr;
    xkb_state* state_ = nullptr;
    std::deque<std::pair<Chooser, Typed>> queue_;
    wl_callback* inFlight_ = nullptr;
    // Counts the chords written, so that an answer read late is told from the next chord's.
    std::uint64_t written_ = 0;
    bool stalled_ = false;
    bool broken_ = false;
    QTimer* answerTimeout_;
    bool offers_ = false;
    QString lastError_;
};
