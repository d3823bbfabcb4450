#include "X11FocusedApplication.h"

#include "XcbDisplay.h"

namespace {
// Far more than any real window tree is deep.
constexpr int deepestWindow = 64;
} // namespace

X11FocusedApplication::X11FocusedApplication(std::shared_ptr<XcbDisplay> display)
    : display_(std::move(display)) {
    connect(display_.get(), &XcbDisplay::eventsRead, this, [this] {
        if (seen_ != display_->activeWindowChanges())
            refresh();
    });
}

QStringList X11FocusedApplication::names() {
    // The caller brought the connection up to date a moment ago.
    if (!display_->live())
        return {};
    if (seen_ != display_->activeWindowChanges())
        refresh();
    return announced_ ? names_ : classOfInputFocus();
}

void X11FocusedApplication::refresh() {
    xcb_connection_t* connection = display_->live();
    seen_ = display_->activeWindowChanges();
    names_.clear();
    if (!connection || !display_->activeWindowAtom())
        return;
    // Both asked at once: one round trip.
    const auto activeCookie = xcb_get_property(connection, 0, display_->root(),
                                               display_->activeWindowAtom(), XCB_ATOM_WINDOW, 0, 1);
    const auto checkCookie = xcb_get_property(
        connection, 0, display_->root(), display_->windowManagerCheckAtom(), XCB_ATOM_WINDOW, 0, 1);
    const auto active = display_->await<xcb_get_property_reply_t>(activeCookie.sequence);
    const auto check = display_->await<xcb_get_property_reply_t>(checkCookie.sequence);
    if (!active || !check)
        return;
    // A root without the property has no EWMH window manager looking after it; nor has one
    // whose window manager has gone, though the root still names the window it made active.
    const auto windowOf = [](const xcb_get_property_reply_t& reply) -> xcb_window_t {
        return xcb_get_property_value_length(&reply) == sizeof(xcb_window_t)
                   ? *static_cast<const xcb_window_t*>(xcb_get_property_value(&reply))
                   : XCB_NONE;
    };
    const xcb_window_t manager = windowOf(*check);
    const xcb_window_t window = windowOf(*active);
    announced_ = active->type != XCB_NONE && manager != XCB_NONE;
    if (!announced_)
        return;
    // The window manager's own window names itself; one that is gone answers with an error.
    // Asked with the active window's class, in the same round trip; the ends of both are
    // watched.
    display_->watchEnd(manager);
    display_->watchEnd(window);
    const auto itselfCookie = xcb_get_property(
        connection, 0, manager, display_->windowManagerCheckAtom(), XCB_ATOM_WINDOW, 0, 1);
    // No active window answers with an error, as a gone one does: no names.
    const unsigned int classCookie = requestClass(connection, window);
    const auto itself = display_->await<xcb_get_property_reply_t>(itselfCookie.sequence);
    const auto names = display_->await<xcb_get_property_reply_t>(classCookie);
    // An active window that is gone (closed, the window manager yet to name the next one)
    // answers with an error: then the input focus decides, as without a window manager.
    announced_ = itself && windowOf(*itself) == manager && (names || window == XCB_NONE);
    if (announced_ && names)
        names_ = namesIn(*names);
}

// WM_CLASS is two strings, each ended by a NUL: the instance, then the class (as STRING, or
// UTF8_STRING by some toolkits). A window that has gone away answers with an error, which leaves
// no names.
unsigned int X11FocusedApplication::requestClass(xcb_connection_t* connection,
                                                 xcb_window_t window) {
    return xcb_get_property(connection, 0, window, XCB_ATOM_WM_CLASS, XCB_GET_PROPERTY_TYPE_ANY, 0,
                            256)
        .sequence;
}

QStringList X11FocusedApplication::namesIn(const xcb_get_property_reply_t& property) {
    if (property.format != 8)
        return {};
    const QByteArray value(static_cast<const char*>(xcb_get_property_value(&property)),
                           xcb_get_property_value_length(&property));
    QStringList names;
    for (const QByteArray& name : value.split('\0'))
        if (!name.isEmpty())
            names << QString::fromUtf8(name);
    return names;
}

QStringList X11FocusedApplication::classOf(xcb_window_t window) {
    xcb_connection_t* connection = display_->live();
    if (!connection || window == XCB_NONE)
        return {};
    const auto property =
        display_->await<xcb_get_property_reply_t>(requestClass(connection, window));
    return property ? namesIn(*property) : QStringList();
}

QStringList X11FocusedApplication::classOfInputFocus() {
    xcb_connection_t* connection = display_->live();
    if (!connection)
        return {};
    const auto focus =
        display_->await<xcb_get_input_focus_reply_t>(xcb_get_input_focus(connection).sequence);
    xcb_window_t window = focus ? focus->focus : XCB_NONE;
    for (int depth = 0; depth < deepestWindow && window != XCB_NONE &&
                        window != XCB_INPUT_FOCUS_POINTER_ROOT && window != display_->root();
         ++depth) {
        if (QStringList names = classOf(window); !names.isEmpty())
            return names;
        if (!(connection = display_->live()))
            return {};
        const auto tree =
            display_->await<xcb_query_tree_reply_t>(xcb_query_tree(connection, window).sequence);
        window = tree ? tree->parent : XCB_NONE;
    }
    return {};
}
