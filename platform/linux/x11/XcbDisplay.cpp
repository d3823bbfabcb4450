#include "XcbDisplay.h"

#include "XServerDeadline.h"
#include "XServerSocket.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <cstdlib>
#include <cstring>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-x11.h>
// xkb.h names a member "explicit", which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

namespace {
QString displayName() {
    return QString::fromLocal8Bit(qgetenv("DISPLAY"));
}

QString cannotOpen() {
    return QStringLiteral("cannot open the X display %1").arg(displayName());
}

// The part of every XKB event that says which one it is.
struct XkbEvent {
    std::uint8_t response_type;
    std::uint8_t xkbType;
};
} // namespace

XcbDisplay::XcbDisplay() = default;

XcbDisplay::~XcbDisplay() {
    close();
    if (probe_ >= 0)
        ::close(probe_);
    xkb_context_unref(context_);
}

xcb_connection_t* XcbDisplay::connection() {
    if (connection_)
        readEvents();
    if (!connection_ && answering())
        open();
    return connection_;
}

bool XcbDisplay::parseDisplay(std::string& host, int& number) {
    const QByteArray name = qgetenv("DISPLAY");
    char* parsed = nullptr;
    if (name.isEmpty() || !xcb_parse_display(name.constData(), &parsed, &number, nullptr)) {
        lastError_ =
            name.isEmpty()
                ? QStringLiteral("DISPLAY is not set, so there is no X display to type into")
                : cannotOpen();
        return false;
    }
    host = parsed;
    std::free(parsed);
    return true;
}

// Once a server has failed to answer, commands fail at once, instead of each waiting its turn,
// until a probe of our own (a connection's setup request) has its answer.
bool XcbDisplay::answering() {
    if (!stalled_)
        return true;
    std::string host;
    int number = 0;
    if (probe_ < 0 && parseDisplay(host, number)) {
        probe_ = XServerSocket::open(host, number, std::chrono::milliseconds(0));
        static const unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        if (probe_ >= 0 && ::send(probe_, setup, sizeof setup, MSG_NOSIGNAL) != sizeof setup) {
            ::close(probe_);
            probe_ = -1;
        }
    }
    pollfd answer{probe_, POLLIN, 0};
    if (probe_ < 0 || ::poll(&answer, 1, 0) != 1) {
        lastError_ = QStringLiteral("the X server at %1 does not answer").arg(displayName());
        return false;
    }
    ::close(probe_);
    probe_ = -1;
    stalled_ = false;
    return true;
}

void XcbDisplay::open() {
    std::string host;
    int number = 0;
    if (!parseDisplay(host, number))
        return;
    const int fd = XServerSocket::open(host, number, patience);
    if (fd < 0) {
        if (errno == ETIMEDOUT)
            return stalled();
        lastError_ = cannotOpen();
        return;
    }
    XServerSocket::Authorisation authorisation(fd, number);
    {
        const XServerDeadline deadline(fd, patience);
        connection_ = xcb_connect_to_fd(fd, authorisation.info());
        if (deadline.expired())
            return stalled();
    }
    if (xcb_connection_has_error(connection_)) {
        close();
        lastError_ = cannotOpen();
        return;
    }
    // libxcb's wait for an extension's data is not bounded: ask for both, and wait for their
    // answers behind one bounded round trip.
    xcb_prefetch_extension_data(connection_, &xcb_test_id);
    xcb_prefetch_extension_data(connection_, &xcb_xkb_id);
    // Which window is active is followed as the window manager announces it, never asked at paste
    // time.
    static const char activeWindow[] = "_NET_ACTIVE_WINDOW";
    static const char windowManagerCheck[] = "_NET_SUPPORTING_WM_CHECK";
    const auto atom = xcb_intern_atom(connection_, 0, sizeof activeWindow - 1, activeWindow);
    const auto checkAtom =
        xcb_intern_atom(connection_, 0, sizeof windowManagerCheck - 1, windowManagerCheck);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    const std::uint32_t rootEvents = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &rootEvents);
    if (const auto interned = await<xcb_intern_atom_reply_t>(atom.sequence))
        activeWindowAtom_ = interned->atom;
    if (const auto interned = await<xcb_intern_atom_reply_t>(checkAtom.sequence))
        windowManagerCheckAtom_ = interned->atom;
    watchedManager_ = watchedActive_ = XCB_NONE;
    ++activeWindowChanges_;
    if (!sync())
        return;
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection_, &xcb_test_id);
    hasXTest_ = xtest && xtest->present;
    lastError_ = hasXTest_ ? QString()
                           : QStringLiteral("the X server at %1 does not offer the XTEST extension")
                                 .arg(displayName());
    const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(connection_, &xcb_xkb_id);
    if (xkb && xkb->present) {
        xkbEvents_ = xkb->first_event;
        const auto use =
            xcb_xkb_use_extension(connection_, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION);
        // Which modifiers are down and which layout is active: the state, never the keys.
        constexpr std::uint16_t stateParts =
            XCB_XKB_STATE_PART_MODIFIER_BASE | XCB_XKB_STATE_PART_GROUP_BASE |
            XCB_XKB_STATE_PART_GROUP_LATCH | XCB_XKB_STATE_PART_GROUP_LOCK;
        constexpr std::uint16_t mapParts =
            XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP |
            XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS |
            XCB_XKB_MAP_PART_VIRTUAL_MODS | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
        xcb_xkb_select_events_details_t details{};
        details.affectNewKeyboard = details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
        details.affectState = details.stateDetails = stateParts;
        xcb_xkb_select_events_aux(connection_, XCB_XKB_ID_USE_CORE_KBD,
                                  XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY |
                                      XCB_XKB_EVENT_TYPE_MAP_NOTIFY |
                                      XCB_XKB_EVENT_TYPE_STATE_NOTIFY,
                                  0, 0, mapParts, mapParts, &details);
        const auto state = xcb_xkb_get_state(connection_, XCB_XKB_ID_USE_CORE_KBD);
        const auto used = await<xcb_xkb_use_extension_reply_t>(use.sequence);
        const auto now = await<xcb_xkb_get_state_reply_t>(state.sequence);
        if (!connection_)
            return;
        if (!used || !used->supported || !now)
            xkbEvents_ = 0;
        else {
            baseModifiers_ = now->baseMods;
            layout_ = now->group;
        }
    }
    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_),
                                                  QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        readEvents();
        Q_EMIT eventsRead();
    });
}

void XcbDisplay::close() {
    // The notifier may be the one calling, or be about to in this turn of the event loop: it
    // hears nothing more now, and goes once any call has returned.
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_->disconnect(this);
        notifier_.release()->deleteLater();
    }
    if (connection_)
        xcb_disconnect(connection_);
    connection_ = nullptr;
    hasXTest_ = false;
    xkbEvents_ = 0;
    keyboardDevice_ = -1;
    baseModifiers_ = 0;
    layout_ = 0;
    keys_.reset();
    keymapStale_ = true;
    modifierKeys_.reset();
    root_ = XCB_NONE;
    activeWindowAtom_ = XCB_NONE;
}

void XcbDisplay::stalled() {
    close();
    stalled_ = true;
    lastError_ = QStringLiteral("the X server at %1 does not answer").arg(displayName());
}

template <typename Reply>
std::unique_ptr<Reply, decltype(&std::free)> XcbDisplay::await(unsigned int sequence) {
    std::unique_ptr<Reply, decltype(&std::free)> reply(nullptr, &std::free);
    if (!connection_ || xcb_flush(connection_) <= 0) {
        close();
        lastError_ = cannotOpen();
        return reply;
    }
    const QDeadlineTimer deadline(patience);
    for (;;) {
        void* answer = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(connection_, sequence, &answer, &error)) {
            std::free(error);
            reply.reset(static_cast<Reply*>(answer));
            return reply;
        }
        if (xcb_connection_has_error(connection_)) {
            close();
            lastError_ = cannotOpen();
            return reply;
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            stalled();
            return reply;
        }
        pollfd readable{xcb_get_file_descriptor(connection_), POLLIN, 0};
        ::poll(&readable, 1, int(left));
    }
}

void XcbDisplay::watchEnds(xcb_window_t manager, xcb_window_t active) {
    if (!connection_)
        return;
    // The root's own mask (its property changes) is never touched: `wmname` makes the root its
    // own window manager's window.
    const auto select = [this](xcb_window_t window, std::uint32_t events) {
        if (window != XCB_NONE && window != root_)
            xcb_change_window_attributes(connection_, window, XCB_CW_EVENT_MASK, &events);
    };
    for (const xcb_window_t old : {watchedManager_, watchedActive_})
        if (old != manager && old != active)
            select(old, XCB_EVENT_MASK_NO_EVENT);
    for (const xcb_window_t now : {manager, active})
        if (now != watchedManager_ && now != watchedActive_)
            select(now, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    watchedManager_ = manager;
    watchedActive_ = active;
}

bool XcbDisplay::sync() {
    return connection_ &&
           await<xcb_get_input_focus_reply_t>(xcb_get_input_focus(connection_).sequence);
}

bool XcbDisplay::caughtUp() {
    if (!connection_)
        return false;
    // The socket holds what the server has not read yet. A stopped server would type it later,
    // into whatever then has the focus.
    int unread = 0;
    if (::ioctl(xcb_get_file_descriptor(connection_), SIOCOUTQ, &unread) == 0 && unread == 0)
        return true;
    return sync();
}

void XcbDisplay::readEvents() {
    if (!connection_)
        return;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == XCB_PROPERTY_NOTIFY) {
            const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (property->window == root_ &&
                (property->atom == activeWindowAtom_ || property->atom == windowManagerCheckAtom_))
                ++activeWindowChanges_;
        } else if (type == XCB_DESTROY_NOTIFY) {
            // The window manager ended, or the active window closed: the root still names the
            // window that was active.
            const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
            if (destroyed->window != XCB_NONE &&
                (destroyed->window == watchedManager_ || destroyed->window == watchedActive_)) {
                if (destroyed->window == watchedManager_)
                    watchedManager_ = XCB_NONE;
                if (destroyed->window == watchedActive_)
                    watchedActive_ = XCB_NONE;
                ++activeWindowChanges_;
            }
        } else if (type == XCB_MAPPING_NOTIFY) {
            keymapStale_ = true;
            modifierKeys_.reset();
        } else if (xkbEvents_ && type == xkbEvents_) {
            switch (reinterpret_cast<const XkbEvent*>(event)->xkbType) {
            case XCB_XKB_STATE_NOTIFY: {
                const auto* state = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event);
                baseModifiers_ = state->baseMods;
                layout_ = state->group;
                break;
            }
            case XCB_XKB_NEW_KEYBOARD_NOTIFY:
                // The core keyboard takes the keymap of whichever keyboard typed last: the
                // user's, then ours at the next paste. A keymap that really changes is announced
                // for the keyboards behind it too.
                if (reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t*>(event)->deviceID ==
                    keyboardDevice_)
                    break;
                [[fallthrough]];
            case XCB_XKB_MAP_NOTIFY:
                keymapStale_ = true;
                modifierKeys_.reset();
                break;
            }
        }
        std::free(event);
    }
    if (xcb_connection_has_error(connection_)) {
        close();
        lastError_ = cannotOpen();
    }
}

bool XcbDisplay::keymapReady() {
    if (!connection_ || !xkbEvents_) {
        lastError_ =
            QStringLiteral("the X server at %1 offers no keyboard map (XKB)").arg(displayName());
        return false;
    }
    if (!keymapStale_)
        return true;
    if (!context_)
        context_ = xkb_context_new(
            xkb_context_flags(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    xkb_keymap* fresh = nullptr;
    {
        // xkbcommon's own waits on the server have no bound of their own.
        const XServerDeadline deadline(xcb_get_file_descriptor(connection_), patience);
        if (keyboardDevice_ < 0)
            keyboardDevice_ = xkb_x11_get_core_keyboard_device_id(connection_);
        if (context_ && keyboardDevice_ >= 0)
            fresh = xkb_x11_keymap_new_from_device(context_, connection_, keyboardDevice_,
                                                   XKB_KEYMAP_COMPILE_NO_FLAGS);
        if (deadline.expired()) {
            xkb_keymap_unref(fresh);
            stalled();
            return false;
        }
    }
    if (!fresh) {
        lastError_ =
            QStringLiteral("cannot read the keyboard map of the X server at %1").arg(displayName());
        return false;
    }
    keys_.reset(fresh);
    keymapStale_ = false;
    return true;
}

xcb_keycode_t XcbDisplay::keyFor(std::uint32_t keysym) {
    const std::uint32_t key = keys_.keyFor(layout_, keysym);
    return key <= 255 ? xcb_keycode_t(key) : 0;
}

xcb_keycode_t XcbDisplay::keyNamed(const char* name) {
    const std::uint32_t key = keys_.keyNamed(name);
    return key <= 255 ? xcb_keycode_t(key) : 0;
}

std::optional<XcbDisplay::ModifierKeys> XcbDisplay::heldModifierKeys() {
    if (!connection_)
        return std::nullopt;
    const auto keymap = xcb_query_keymap(connection_);
    if (!modifierKeys_) {
        const auto mapping =
            await<xcb_get_modifier_mapping_reply_t>(xcb_get_modifier_mapping(connection_).sequence);
        if (!mapping) {
            if (connection_)
                xcb_discard_reply(connection_, keymap.sequence);
            return std::nullopt;
        }
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(mapping.get());
        const int perModifier = mapping->keycodes_per_modifier;
        ModifierKeys keys;
        for (int modifier = 0; modifier < 8; ++modifier)
            for (int i = 0; i < perModifier; ++i)
                if (const xcb_keycode_t code = codes[modifier * perModifier + i])
                    keys[std::size_t(modifier)].push_back(code);
        modifierKeys_ = std::move(keys);
    }
    const auto pressed = await<xcb_query_keymap_reply_t>(keymap.sequence);
    if (!pressed)
        return std::nullopt;
    ModifierKeys held;
    for (std::size_t modifier = 0; modifier < held.size(); ++modifier)
        for (const xcb_keycode_t code : (*modifierKeys_)[modifier])
            if (pressed->keys[code / 8] & (1u << (code % 8)))
                held[modifier].push_back(code);
    return held;
}

template std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)>
XcbDisplay::await<xcb_get_property_reply_t>(unsigned int);
template std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&std::free)>
XcbDisplay::await<xcb_get_input_focus_reply_t>(unsigned int);
template std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)>
XcbDisplay::await<xcb_query_tree_reply_t>(unsigned int);
