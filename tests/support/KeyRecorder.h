#pragma once

#include <QList>
#include <QString>
#include <QTest>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

// An X client whose focused window records the keys an application gets; it can hold keys too.
class KeyRecorder {
public:
    struct Key {
        bool press;
        std::uint16_t state;
        // What the key gave under the mapping in force when it arrived.
        xcb_keysym_t keysym;
    };

    explicit KeyRecorder(const QString& display)
        : connection_(xcb_connect(display.toLocal8Bit().constData(), nullptr))
        , symbols_(xcb_key_symbols_alloc(connection_)) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        const std::uint32_t values[] = {
            screen->white_pixel, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                     XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 200, 100,
                          0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        xcb_flush(connection_);
    }
    ~KeyRecorder() { xcb_key_symbols_free(symbols_), xcb_disconnect(connection_); }
    KeyRecorder(const KeyRecorder&) = delete;
    KeyRecorder& operator=(const KeyRecorder&) = delete;

    xcb_window_t window() const { return window_; }
    // WM_CLASS as a toolkit sets it: the instance, then the class, each ended by a NUL.
    void setClass(const QByteArray& instance, const QByteArray& windowClass) {
        const QByteArray value = instance + '\0' + windowClass + '\0';
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS,
                            XCB_ATOM_STRING, 8, std::uint32_t(value.size()), value.constData());
        xcb_flush(connection_);
    }
    // Plays a window manager that names `active` on the root and never updates it; its check
    // window is one of its own that names itself (as EWMH asks) or the root (as `wmname` makes it).
    void nameActiveWindow(xcb_window_t active, bool rootIsTheManager = false) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        const xcb_window_t check = rootIsTheManager ? root : xcb_generate_id(connection_);
        if (!rootIsTheManager)
            xcb_create_window(connection_, XCB_COPY_FROM_PARENT, check, root, 0, 0, 1, 1, 0,
                              XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        const auto set = [&](xcb_window_t on, const char* name, xcb_window_t value) {
            const auto atom = xcb_intern_atom_reply(
                connection_,
                xcb_intern_atom(connection_, 0, std::uint16_t(std::strlen(name)), name), nullptr);
            xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, on, atom->atom, XCB_ATOM_WINDOW,
                                32, 1, &value);
            std::free(atom);
        };
        set(check, "_NET_SUPPORTING_WM_CHECK", check);
        set(root, "_NET_SUPPORTING_WM_CHECK", check);
        set(root, "_NET_ACTIVE_WINDOW", active);
        xcb_flush(connection_);
    }
    bool takeFocus() {
        xcb_map_window(connection_, window_);
        xcb_flush(connection_);
        if (!QTest::qWaitFor([&] { return readEvents(), mapped_; }, 10000))
            return false;
        xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        xcb_flush(connection_);
        return QTest::qWaitFor([&] { return readEvents(), focused_; }, 10000);
    }
    QList<Key> keys() { return readEvents(), keys_; }
    QList<Key> keysOf(xcb_keysym_t keysym) {
        QList<Key> matching = keys();
        matching.removeIf([&](const Key& key) { return key.keysym != keysym; });
        return matching;
    }
    bool waitForKeys(xcb_keysym_t keysym, qsizetype count, int timeoutMs = 10000) {
        return QTest::qWaitFor([&] { return keysOf(keysym).size() >= count; }, timeoutMs);
    }

    xcb_keycode_t keycodeOf(xcb_keysym_t keysym) {
        std::unique_ptr<xcb_keycode_t, decltype(&std::free)> codes(
            xcb_key_symbols_get_keycode(symbols_, keysym), &std::free);
        return codes ? codes.get()[0] : 0;
    }
    bool isHeld(xcb_keysym_t keysym) {
        const xcb_keycode_t code = keycodeOf(keysym);
        std::unique_ptr<xcb_query_keymap_reply_t, decltype(&std::free)> keymap(
            xcb_query_keymap_reply(connection_, xcb_query_keymap(connection_), nullptr),
            &std::free);
        return keymap && (keymap->keys[code / 8] & (1u << (code % 8)));
    }
    void fakeKey(xcb_keysym_t keysym, bool press) {
        xcb_test_fake_input(connection_, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycodeOf(keysym),
                            XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        // A round trip, so the key is down at the server before the test goes on.
        roundTrip();
    }
    // Makes layout `group` the active one, as a layout switch key would.
    void lockGroup(int group) {
        std::free(xcb_xkb_use_extension_reply(connection_, xcb_xkb_use_extension(connection_, 1, 0),
                                              nullptr));
        xcb_xkb_latch_lock_state(connection_, XCB_XKB_ID_USE_CORE_KBD, 0, 0, 1, std::uint8_t(group),
                                 0, 0, 0);
        roundTrip();
    }

private:
    void roundTrip() {
        std::free(
            xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }
    void readEvents() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            const auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
            const std::uint8_t type = event->response_type & 0x7f;
            if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE)
                keys_ << Key{type == XCB_KEY_PRESS, key->state,
                             xcb_key_symbols_get_keysym(symbols_, key->detail, 0)};
            mapped_ |= type == XCB_MAP_NOTIFY;
            focused_ |= type == XCB_FOCUS_IN;
            if (type == XCB_MAPPING_NOTIFY)
                xcb_refresh_keyboard_mapping(symbols_,
                                             reinterpret_cast<xcb_mapping_notify_event_t*>(event));
            std::free(event);
        }
    }

    xcb_connection_t* connection_;
    xcb_key_symbols_t* symbols_;
    xcb_window_t window_ = xcb_generate_id(connection_);
    QList<Key> keys_;
    bool mapped_ = false;
    bool focused_ = false;
};
