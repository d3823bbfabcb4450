#pragma once

#include "XkbKeys.h"

#include <QDBusConnection>
#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;
struct wl_callback;
struct wl_display;
struct wl_keyboard;
struct wl_registry;
struct wl_seat;
struct xkb_context;

// The compositor's keymap, as every Wayland client receives it with its keyboard: the keys the
// portal's keycodes stand for. The agent opens no window, so it never has the focus, and Wayland
// tells the active layout to the focused client alone: KDE Plasma says it on the session bus, and
// elsewhere the keymap's first layout counts as the active one. Nothing here waits on the
// compositor: the keymap arrives when it arrives, and until then the compositor resolves keysyms
// itself. The same connection tells when the compositor has caught up with its clients.
class WaylandKeymap final : public QObject {
    Q_OBJECT
public:
    // Connects to the compositor in WAYLAND_DISPLAY, if any.
    explicit WaylandKeymap(QDBusConnection bus);
    ~WaylandKeymap() override;

    // The keys of the compositor's keymap; empty until it has arrived.
    XkbKeys& keys() { return keys_; }
    std::uint32_t activeLayout() const { return layout_; }
    // Runs `done` once the compositor has answered a request sent now: by then it has read what
    // every client had sent it. At once without a compositor; after a second if it doesn't answer.
    void catchUp(std::function<void()> done);

private Q_SLOTS:
    void layoutChanged(uint index);

private:
    void readEvents();
    void disconnect();
    void caughtUp();

    static void global(void* self, wl_registry*, std::uint32_t name, const char* interface,
                       std::uint32_t version);
    static void seatCapabilities(void* self, wl_seat*, std::uint32_t capabilities);
    static void keymap(void* self, wl_keyboard*, std::uint32_t format, std::int32_t fd,
                       std::uint32_t size);
    static void synced(void* self, wl_callback*, std::uint32_t);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    wl_keyboard* keyboard_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    wl_callback* sync_ = nullptr;
    std::function<void()> caughtUp_;
    QTimer* syncTimeout_;
    xkb_context* context_ = nullptr;
    XkbKeys keys_;
    std::uint32_t layout_ = 0;
};
