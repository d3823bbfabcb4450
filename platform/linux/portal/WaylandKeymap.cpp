#include "WaylandKeymap.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSocketNotifier>
#include <QTimer>
#include <cstring>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace {
// Version 5 of wl_seat is what the listeners below know of.
constexpr std::uint32_t seatVersion = 5;
constexpr int syncTimeoutMs = 1000;
// Where KWin tells which of its layouts is active.
const QString kwin = QStringLiteral("org.kde.KWin");
const QString layouts = QStringLiteral("/Layouts");
const QString keyboardLayouts = QStringLiteral("org.kde.KeyboardLayouts");

void ignoreGlobalRemove(void*, wl_registry*, std::uint32_t) {}
void ignoreSeatName(void*, wl_seat*, const char*) {}
void ignoreEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
void ignoreLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
void ignoreKey(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void ignoreModifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
                     std::uint32_t, std::uint32_t) {}
void ignoreRepeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
} // namespace

WaylandKeymap::WaylandKeymap(QDBusConnection bus)
    : syncTimeout_(new QTimer(this)) {
    syncTimeout_->setSingleShot(true);
    syncTimeout_->setInterval(syncTimeoutMs);
    connect(syncTimeout_, &QTimer::timeout, this, &WaylandKeymap::caughtUp);
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return;
    bus.connect(kwin, layouts, keyboardLayouts, QStringLiteral("layoutChanged"), this,
                SLOT(layoutChanged(uint)));
    auto* asked = new QDBusPendingCallWatcher(
        bus.asyncCall(QDBusMessage::createMethodCall(kwin, layouts, keyboardLayouts,
                                                     QStringLiteral("getLayout"))),
        this);
    connect(asked, &QDBusPendingCallWatcher::finished, this, [this, asked] {
        const QDBusPendingReply<uint> layout = *asked;
        if (layout.isValid())
            layout_ = layout.value();
        asked->deleteLater();
    });
    display_ = wl_display_connect(nullptr);
    if (!display_)
        return;
    context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    static const wl_registry_listener registryListener{&WaylandKeymap::global, &ignoreGlobalRemove};
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registryListener, this);
    wl_display_flush(display_);
    notifier_ =
        std::make_unique<QSocketNotifier>(wl_display_get_fd(display_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readEvents(); });
}

WaylandKeymap::~WaylandKeymap() {
    disconnect();
    xkb_context_unref(context_);
}

void WaylandKeymap::disconnect() {
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_->disconnect(this);
        notifier_.release()->deleteLater();
    }
    if (sync_)
        wl_callback_destroy(sync_);
    if (keyboard_)
        wl_keyboard_destroy(keyboard_);
    if (seat_)
        wl_seat_destroy(seat_);
    if (registry_)
        wl_registry_destroy(registry_);
    if (display_)
        wl_display_disconnect(display_);
    sync_ = nullptr;
    keyboard_ = nullptr;
    seat_ = nullptr;
    registry_ = nullptr;
    display_ = nullptr;
}

void WaylandKeymap::catchUp(std::function<void()> done) {
    caughtUp_ = std::move(done);
    if (!display_)
        return caughtUp();
    // A sync left unanswered by a wait that timed out serves this one too: its answer says the
    // compositor reads again.
    if (!sync_) {
        static const wl_callback_listener listener{&WaylandKeymap::synced};
        sync_ = wl_display_sync(display_);
        wl_callback_add_listener(sync_, &listener, this);
        wl_display_flush(display_);
    }
    syncTimeout_->start();
}

void WaylandKeymap::synced(void* self, wl_callback* callback, std::uint32_t) {
    auto* keymap = static_cast<WaylandKeymap*>(self);
    wl_callback_destroy(callback);
    keymap->sync_ = nullptr;
    keymap->caughtUp();
}

void WaylandKeymap::caughtUp() {
    syncTimeout_->stop();
    if (auto done = std::exchange(caughtUp_, nullptr))
        done();
}

void WaylandKeymap::layoutChanged(uint index) {
    layout_ = index;
}

void WaylandKeymap::readEvents() {
    if (!display_)
        return;
    if (wl_display_prepare_read(display_) == 0) {
        if (wl_display_read_events(display_) != 0) {
            // The compositor went away; the portal's own keymap is all there is now.
            keys_.reset();
            disconnect();
            caughtUp();
            return;
        }
    }
    wl_display_dispatch_pending(display_);
    wl_display_flush(display_);
}

void WaylandKeymap::global(void* self, wl_registry* registry, std::uint32_t name,
                           const char* interface, std::uint32_t version) {
    auto* keymap = static_cast<WaylandKeymap*>(self);
    if (keymap->seat_ || std::strcmp(interface, wl_seat_interface.name) != 0)
        return;
    static const wl_seat_listener seatListener{&WaylandKeymap::seatCapabilities, &ignoreSeatName};
    keymap->seat_ = static_cast<wl_seat*>(
        wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, seatVersion)));
    wl_seat_add_listener(keymap->seat_, &seatListener, self);
}

void WaylandKeymap::seatCapabilities(void* self, wl_seat* seat, std::uint32_t capabilities) {
    auto* keymap = static_cast<WaylandKeymap*>(self);
    if (keymap->keyboard_ || !(capabilities & WL_SEAT_CAPABILITY_KEYBOARD))
        return;
    static const wl_keyboard_listener keyboardListener{&WaylandKeymap::keymap, &ignoreEnter,
                                                       &ignoreLeave,           &ignoreKey,
                                                       &ignoreModifiers,       &ignoreRepeat};
    keymap->keyboard_ = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(keymap->keyboard_, &keyboardListener, self);
}

void WaylandKeymap::keymap(void* self, wl_keyboard*, std::uint32_t format, std::int32_t fd,
                           std::uint32_t size) {
    auto* keymap = static_cast<WaylandKeymap*>(self);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1)
        keymap->keys_.read(keymap->context_, fd, size);
    ::close(fd);
}
