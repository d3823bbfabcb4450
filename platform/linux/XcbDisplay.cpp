#include "XcbDisplay.h"

#include <cstdlib>
#include <memory>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

namespace {
QString displayName() {
    const char* name = std::getenv("DISPLAY");
    return name ? QString::fromLocal8Bit(name) : QString();
}

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;
} // namespace

XcbDisplay::~XcbDisplay() {
    close();
}

void XcbDisplay::close() {
    forgetKeyboardMapping();
    if (symbols_)
        xcb_key_symbols_free(symbols_);
    symbols_ = nullptr;
    if (connection_)
        xcb_disconnect(connection_);
    connection_ = nullptr;
}

void XcbDisplay::forgetKeyboardMapping() {
    keycodes_.clear();
    modifierKeysKnown_ = false;
}

xcb_connection_t* XcbDisplay::connection() {
    if (connection_)
        applyPendingEvents();
    if (connection_ && xcb_connection_has_error(connection_))
        close();
    if (connection_)
        return connection_;

    const QString name = displayName();
    if (name.isEmpty()) {
        lastError_ = QStringLiteral("DISPLAY is not set, so there is no X display to type into");
        return nullptr;
    }
    xcb_connection_t* opened = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(opened)) {
        xcb_disconnect(opened);
        lastError_ = QStringLiteral("cannot open the X display %1").arg(name);
        return nullptr;
    }
    connection_ = opened;
    symbols_ = xcb_key_symbols_alloc(connection_);
    lastError_.clear();
    return connection_;
}

void XcbDisplay::applyPendingEvents() {
    // The server sends MappingNotify to every client; nothing else arrives unasked.
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        if ((event->response_type & 0x7f) == XCB_MAPPING_NOTIFY) {
            auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
            xcb_refresh_keyboard_mapping(symbols_, mapping);
            forgetKeyboardMapping();
        }
        std::free(event);
    }
}

bool XcbDisplay::hasXTest() {
    if (!connection_)
        return false;
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection_, &xcb_test_id);
    if (extension && extension->present)
        return true;
    if (!xcb_connection_has_error(connection_))
        lastError_ = QStringLiteral("the X server at %1 does not offer the XTEST extension")
                         .arg(displayName());
    return false;
}

xcb_keycode_t XcbDisplay::keycodeFor(xcb_keysym_t keysym) {
    if (const auto known = keycodes_.find(keysym); known != keycodes_.end())
        return known->second;
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    xcb_keycode_t found = 0;
    // The unshifted column first: a key that needs Shift for it would type the wrong chord.
    for (int column = 0; column < 2 && !found; ++column)
        for (int code = setup->min_keycode; code <= setup->max_keycode && !found; ++code)
            if (xcb_key_symbols_get_keysym(symbols_, xcb_keycode_t(code), column) == keysym)
                found = xcb_keycode_t(code);
    if (found)
        keycodes_.emplace(keysym, found);
    return found;
}

const std::array<std::vector<xcb_keycode_t>, 8>& XcbDisplay::modifierKeys() {
    if (modifierKeysKnown_)
        return modifierKeys_;
    for (auto& keys : modifierKeys_)
        keys.clear();
    Reply<xcb_get_modifier_mapping_reply_t> reply(
        xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr),
        &std::free);
    if (!reply)
        return modifierKeys_;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply.get());
    const int perModifier = reply->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier)
        for (int i = 0; i < perModifier; ++i)
            if (const xcb_keycode_t code = codes[modifier * perModifier + i])
                modifierKeys_[modifier].push_back(code);
    modifierKeysKnown_ = true;
    return modifierKeys_;
}

std::array<std::uint8_t, 32> XcbDisplay::pressedKeys() {
    std::array<std::uint8_t, 32> keys{};
    Reply<xcb_query_keymap_reply_t> reply(
        xcb_query_keymap_reply(connection_, xcb_query_keymap(connection_), nullptr), &std::free);
    if (reply)
        std::copy(std::begin(reply->keys), std::end(reply->keys), keys.begin());
    return keys;
}
