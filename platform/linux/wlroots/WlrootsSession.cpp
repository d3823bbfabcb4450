#include "WlrootsSession.h"

#include "SystemLog.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace {
// evdev codes of the keys the agent types, in the US keymap it uploads.
constexpr std::uint32_t KEY_LEFTCTRL = 29, KEY_LEFTSHIFT = 42, KEY_LEFTALT = 56, KEY_V = 47,
                        KEY_INSERT = 110;
constexpr std::uint32_t evdevOffset = 8;
// The versions whose events the listeners below know.
constexpr std::uint32_t toplevelVersion = 2;

QString compositorName() {
    const QByteArray name = qgetenv("WAYLAND_DISPLAY");
    return name.isEmpty() ? QStringLiteral("wayland-0") : QString::fromLocal8Bit(name);
}

std::uint32_t milliseconds() {
    return std::uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count());
}

void ignoreRemove(void*, wl_registry*, std::uint32_t) {}
void ignoreTitle(void*, zwlr_foreign_toplevel_handle_v1*, const char*) {}
void ignoreOutput(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
void ignoreDone(void*, zwlr_foreign_toplevel_handle_v1*) {}
void ignoreFinished(void*, zwlr_foreign_toplevel_manager_v1*) {}
} // namespace

WlrootsSession::WlrootsSession()
    : answerTimeout_(new QTimer(this)) {
    answerTimeout_->setSingleShot(true);
    answerTimeout_->setInterval(patience);
    connect(answerTimeout_, &QTimer::timeout, this, [this] {
        // The answer may be waiting unread behind a busy turn of the agent's own; reading it
        // writes the next chord, whose own time has only begun.
        const std::uint64_t overdue = written_;
        readAvailable();
        if (!inFlight_ || written_ != overdue)
            return;
        // The chords asked for meanwhile are not typed, nor those asked for until it answers.
        stalled_ = true;
        const QString why =
            QStringLiteral("the compositor at %1 does not answer").arg(compositorName());
        for (auto queued = std::exchange(queue_, {}); auto& [chord, typed] : queued)
            typed(why);
    });
}

WlrootsSession::~WlrootsSession() {
    cancel();
    close(QString());
    xkb_state_unref(state_);
    xkb_keymap_unref(keymap_);
}

bool WlrootsSession::open(bool withKeyboard) {
    if (keyboard_)
        return true;
    if (!display_) {
        display_ = wl_display_connect(nullptr);
        if (!display_) {
            lastError_ = QStringLiteral("cannot connect to the Wayland compositor at %1")
                             .arg(compositorName());
            return false;
        }
        static const wl_registry_listener registryListener{&WlrootsSession::global, &ignoreRemove};
        registry_ = wl_display_get_registry(display_);
        wl_registry_add_listener(registry_, &registryListener, this);
        if (!roundTrip())
            return false;
        offers_ = manager_ && seat_;
        notifier_ =
            std::make_unique<QSocketNotifier>(wl_display_get_fd(display_), QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readEvents(); });
    }
    if (!offers_) {
        close(QString());
        lastError_ = QStringLiteral("the Wayland compositor at %1 offers no virtual keyboard "
                                    "(zwp_virtual_keyboard_manager_v1)")
                         .arg(compositorName());
        return false;
    }
    if (!withKeyboard)
        return true;
    if (!makeKeyboard() || !roundTrip())
        return false;
    lastError_.clear();
    return true;
}

// Sends a sync and reads until its answer, `patience` at most; the answers to what was sent
// before it are read on the way. A compositor that doesn't answer in time is left.
bool WlrootsSession::roundTrip() {
    bool answered = false;
    static const wl_callback_listener listener{
        [](void* flag, wl_callback* callback, std::uint32_t) {
            if (flag)
                *static_cast<bool*>(flag) = true;
            wl_callback_destroy(callback);
        }};
    wl_callback* sync = wl_display_sync(display_);
    wl_callback_add_listener(sync, &listener, &answered);
    const QDeadlineTimer deadline(patience);
    while (!answered) {
        if (wl_display_dispatch_pending(display_) < 0)
            break;
        if (answered)
            break;
        wl_display_flush(display_);
        if (deadline.hasExpired()) {
            close(QStringLiteral("the compositor at %1 does not answer").arg(compositorName()));
            return false;
        }
        if (wl_display_prepare_read(display_) != 0)
            continue;
        pollfd readable{wl_display_get_fd(display_), POLLIN, 0};
        const int ready = ::poll(&readable, 1, int(deadline.remainingTime()));
        if (ready != 1) {
            wl_display_cancel_read(display_);
            if (ready < 0 && errno == EINTR)
                continue;
            close(QStringLiteral("the compositor at %1 does not answer").arg(compositorName()));
            return false;
        }
        if (wl_display_read_events(display_) != 0)
            break;
    }
    if (!answered || wl_display_get_error(display_)) {
        close(QStringLiteral("the compositor at %1 refused or went away (%2)")
                  .arg(compositorName(),
                       QString::fromLocal8Bit(std::strerror(wl_display_get_error(display_)))));
        return false;
    }
    return true;
}

// A US keymap of the agent's own: the chord's keys are the same keys whatever the user types with.
bool WlrootsSession::makeKeyboard() {
    if (!keymap_) {
        // The system's keymap data alone: a user's own xkb folder must not change the keys.
        xkb_context* context = xkb_context_new(
            xkb_context_flags(XKB_CONTEXT_NO_ENVIRONMENT_NAMES | XKB_CONTEXT_NO_DEFAULT_INCLUDES));
        if (context && !xkb_context_include_path_append(context, "/usr/share/X11/xkb"))
            xkb_context_include_path_append_default(context);
        const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
        keymap_ = context ? xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS)
                          : nullptr;
        xkb_context_unref(context);
        if (!keymap_) {
            close(QStringLiteral("cannot make a keyboard map (is xkb-data installed?)"));
            return false;
        }
    }
    xkb_state_unref(state_);
    state_ = xkb_state_new(keymap_);
    char* text = xkb_keymap_get_as_string(keymap_, XKB_KEYMAP_FORMAT_TEXT_V1);
    const std::size_t size = text ? std::strlen(text) + 1 : 0;
    const int fd = ::memfd_create("kelmo-helper-keymap", MFD_CLOEXEC);
    const bool written = fd >= 0 && text && ::write(fd, text, size) == ssize_t(size);
    std::free(text);
    if (!written || !state_) {
        if (fd >= 0)
            ::close(fd);
        close(QStringLiteral("cannot hand the compositor a keyboard map"));
        return false;
    }
    keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager_, seat_);
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   std::uint32_t(size));
    ::close(fd); // the request carries a copy
    return true;
}

QStringList WlrootsSession::activeApplication() const {
    for (const auto& [handle, toplevel] : handles_)
        if (toplevel.activated && !toplevel.appId.isEmpty())
            return {toplevel.appId};
    return {};
}

void WlrootsSession::type(Chooser choose, Typed typed) {
    // A toplevel activated just before the paste was asked for (the main application hides and
    // asks at once) must be known before the chord is chosen; the session may end in this read.
    readAvailable();
    if (!keyboard_ || broken_) {
        typed(lastError_.isEmpty() ? QStringLiteral("there is no virtual keyboard") : lastError_);
        return;
    }
    if (stalled_) {
        typed(QStringLiteral("the compositor at %1 does not answer").arg(compositorName()));
        return;
    }
    queue_.emplace_back(std::move(choose), std::move(typed));
    writeNext();
}

QString WlrootsSession::whyNotReady() const {
    return ready()
               ? QString()
               : QStringLiteral("there is no virtual keyboard (%1); shouldRequestAccess makes one")
                     .arg(lastError_);
}

void WlrootsSession::cancel() {
    queue_.clear();
}

void WlrootsSession::sendKey(std::uint32_t key, bool down) {
    zwp_virtual_keyboard_v1_key(keyboard_, milliseconds(), key,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                     : WL_KEYBOARD_KEY_STATE_RELEASED);
    xkb_state_update_key(state_, key + evdevOffset, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    zwp_virtual_keyboard_v1_modifiers(
        keyboard_, xkb_state_serialize_mods(state_, XKB_STATE_MODS_DEPRESSED),
        xkb_state_serialize_mods(state_, XKB_STATE_MODS_LATCHED),
        xkb_state_serialize_mods(state_, XKB_STATE_MODS_LOCKED),
        xkb_state_serialize_layout(state_, XKB_STATE_LAYOUT_EFFECTIVE));
}

// Each chord in one write, and the next once the compositor has answered a sync sent after it:
// nothing the agent does can leave a key of it down, a stalled compositor holds at most one
// chord, and a burst goes no faster than the compositor takes it (its clients get the keys at
// that pace too; one that falls far behind would be disconnected by the compositor).
void WlrootsSession::writeNext() {
    if (inFlight_ || queue_.empty() || !keyboard_ || broken_)
        return;
    auto [choose, typed] = std::move(queue_.front());
    queue_.pop_front();
    const PasteChord chord = choose(activeApplication());
    std::vector<std::uint32_t> modifiers;
    if (chord.control)
        modifiers.push_back(KEY_LEFTCTRL);
    if (chord.shift)
        modifiers.push_back(KEY_LEFTSHIFT);
    if (chord.alt)
        modifiers.push_back(KEY_LEFTALT);
    const std::uint32_t key = chord.key == PasteChord::Key::insert ? KEY_INSERT : KEY_V;
    for (const std::uint32_t modifier : modifiers)
        sendKey(modifier, true);
    sendKey(key, true);
    sendKey(key, false);
    for (auto modifier = modifiers.rbegin(); modifier != modifiers.rend(); ++modifier)
        sendKey(*modifier, false);
    static const wl_callback_listener listener{
        [](void* self, wl_callback* callback, std::uint32_t) {
            wl_callback_destroy(callback);
            static_cast<WlrootsSession*>(self)->caughtUp();
        }};
    inFlight_ = wl_display_sync(display_);
    ++written_;
    wl_callback_add_listener(inFlight_, &listener, this);
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
        queue_.emplace_front(std::move(choose), std::move(typed));
        return closeLater(
            QStringLiteral("the Wayland compositor at %1 went away").arg(compositorName()));
    }
    answerTimeout_->start();
    typed({});
}

void WlrootsSession::caughtUp() {
    inFlight_ = nullptr;
    stalled_ = false;
    answerTimeout_->stop();
    writeNext();
}

void WlrootsSession::readEvents() {
    if (!display_)
        return;
    if (wl_display_prepare_read(display_) == 0 && wl_display_read_events(display_) != 0)
        return close(
            QStringLiteral("the Wayland compositor at %1 went away").arg(compositorName()));
    if (wl_display_dispatch_pending(display_) < 0)
        return close(
            QStringLiteral("the Wayland compositor at %1 went away").arg(compositorName()));
    if (display_)
        wl_display_flush(display_);
}

// What the compositor has sent already, without waiting: the notifier may not have run yet.
void WlrootsSession::readAvailable() {
    pollfd readable{display_ ? wl_display_get_fd(display_) : -1, POLLIN, 0};
    if (display_ && ::poll(&readable, 1, 0) == 1)
        readEvents();
}

// Ends the session once libwayland is no longer dispatching: it may be calling us now.
void WlrootsSession::closeLater(const QString& why) {
    broken_ = true;
    QTimer::singleShot(0, this, [this, why] {
        if (broken_)
            close(why);
    });
}

// Ends the session: the chord under way and those waiting fail with `why`.
void WlrootsSession::close(const QString& why) {
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_->disconnect(this);
        notifier_.release()->deleteLater();
    }
    answerTimeout_->stop();
    for (auto& [handle, toplevel] : handles_)
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
    handles_.clear();
    if (inFlight_)
        wl_callback_destroy(inFlight_);
    if (keyboard_)
        zwp_virtual_keyboard_v1_destroy(keyboard_);
    if (toplevels_)
        zwlr_foreign_toplevel_manager_v1_destroy(toplevels_);
    if (manager_)
        zwp_virtual_keyboard_manager_v1_destroy(manager_);
    if (seat_)
        wl_seat_destroy(seat_);
    if (registry_)
        wl_registry_destroy(registry_);
    if (display_) {
        wl_display_flush(display_);
        wl_display_disconnect(display_);
    }
    inFlight_ = nullptr;
    const bool hadKeyboard = keyboard_ != nullptr;
    keyboard_ = nullptr;
    toplevels_ = nullptr;
    manager_ = nullptr;
    seat_ = nullptr;
    registry_ = nullptr;
    display_ = nullptr;
    broken_ = false;
    stalled_ = false;
    if (why.isEmpty())
        return;
    lastError_ = why;
    if (hadKeyboard)
        SystemLog::printErrorLine(QStringLiteral("the typing session ended: %1").arg(why));
    for (auto queued = std::exchange(queue_, {}); auto& [chord, typed] : queued)
        typed(why);
}

void WlrootsSession::global(void* self, wl_registry* registry, std::uint32_t name,
                            const char* interface, std::uint32_t version) {
    auto* session = static_cast<WlrootsSession*>(self);
    if (!session->seat_ && std::strcmp(interface, wl_seat_interface.name) == 0) {
        session->seat_ =
            static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (!session->manager_ &&
               std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        session->manager_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    } else if (!session->toplevels_ &&
               std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) == 0) {
        session->toplevels_ = static_cast<zwlr_foreign_toplevel_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_foreign_toplevel_manager_v1_interface,
                             std::min(version, toplevelVersion)));
        static const zwlr_foreign_toplevel_manager_v1_listener listener{&WlrootsSession::toplevel,
                                                                        &ignoreFinished};
        zwlr_foreign_toplevel_manager_v1_add_listener(session->toplevels_, &listener, self);
    }
}

void WlrootsSession::toplevel(void* self, zwlr_foreign_toplevel_manager_v1*,
                              zwlr_foreign_toplevel_handle_v1* handle) {
    static const zwlr_foreign_toplevel_handle_v1_listener listener{
        &ignoreTitle, &WlrootsSession::appId, &ignoreOutput, &ignoreOutput, &WlrootsSession::state,
        &ignoreDone,  &WlrootsSession::closed};
    static_cast<WlrootsSession*>(self)->handles_[handle];
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &listener, self);
}

void WlrootsSession::appId(void* self, zwlr_foreign_toplevel_handle_v1* handle, const char* id) {
    static_cast<WlrootsSession*>(self)->handles_[handle].appId = QString::fromUtf8(id);
}

void WlrootsSession::state(void* self, zwlr_foreign_toplevel_handle_v1* handle, wl_array* states) {
    bool activated = false;
    const auto* state = static_cast<const std::uint32_t*>(states->data);
    for (std::size_t i = 0; i < states->size / sizeof *state; ++i)
        activated |= state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
    static_cast<WlrootsSession*>(self)->handles_[handle].activated = activated;
}

void WlrootsSession::closed(void* self, zwlr_foreign_toplevel_handle_v1* handle) {
    static_cast<WlrootsSession*>(self)->handles_.erase(handle);
    zwlr_foreign_toplevel_handle_v1_destroy(handle);
}
