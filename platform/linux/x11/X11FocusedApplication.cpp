#include "X11FocusedApplication.h"

#include "XcbDisplay.h"

#include <xcb/xcbext.h>

namespace {
// Far more than any real window tree is deep.
constexpr int deepestWindow = 64;
} // namespace

X11FocusedApplication::X11FocusedApplication(std::shared_ptr<XcbDisplay> display)
    : display_(std::move(display)) {
    connect(display_.get(), &XcbDisplay::eventsRead, this, [this] {
        if (!fetch_.connection && seen_ != display_->activeWindowChanges())
            startFetch();
        advanceFetch(false);
    });
}

QStringList X11FocusedApplication::names() {
    // The caller brought the connection up to date a moment ago. The paste can't wait for the
    // event loop: a fetch under way or due is finished now (and once more for a change that
    // came in meanwhile).
    for (int round = 0; round < 2 && display_->live() &&
                        (fetch_.connection || seen_ != display_->activeWindowChanges());
         ++round) {
        if (!fetch_.connection)
            startFetch();
        advanceFetch(true);
    }
    if (!display_->live())
        return {};
    return announced_ ? names_ : classOfInputFocus();
}

void X11FocusedApplication::startFetch() {
    xcb_connection_t* connection = display_->live();
    if (!connection || !display_->activeWindowAtom())
        return finish(true, {});
    fetch_ = Fetch{};
    fetch_.connection = connection;
    fetch_.changes = display_->activeWindowChanges();
    fetch_.first = xcb_get_property(connection, 0, display_->root(), display_->activeWindowAtom(),
                                    XCB_ATOM_WINDOW, 0, 1)
                       .sequence;
    fetch_.second = xcb_get_property(connection, 0, display_->root(),
                                     display_->windowManagerCheckAtom(), XCB_ATOM_WINDOW, 0, 1)
                        .sequence;
    xcb_flush(connection);
}

bool X11FocusedApplication::take(unsigned int sequence, bool wait, std::optional<Reply>& reply) {
    if (reply)
        return true;
    if (wait) {
        reply = display_->await<xcb_get_property_reply_t>(sequence);
        return true;
    }
    void* answer = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (!xcb_poll_for_reply(fetch_.connection, sequence, &answer, &error))
        return false;
    std::free(error); // an error is an answer too: no such window
    reply = Reply(static_cast<xcb_get_property_reply_t*>(answer), &std::free);
    return true;
}

void X11FocusedApplication::advanceFetch(bool wait) {
    const auto windowOf = [](const Reply& reply) -> xcb_window_t {
        return reply && xcb_get_property_value_length(reply.get()) == sizeof(xcb_window_t)
                   ? *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()))
                   : XCB_NONE;
    };
    while (fetch_.connection) {
        // A connection that went counts as a change of its own; its questions are void.
        if (display_->live() != fetch_.connection) {
            fetch_ = Fetch{};
            return;
        }
        if (!take(fetch_.first, wait, fetch_.firstReply) ||
            !take(fetch_.second, wait, fetch_.secondReply))
            return;
        if (display_->live() != fetch_.connection)
            continue;
        const Reply& first = *fetch_.firstReply;
        const Reply& second = *fetch_.secondReply;
        if (fetch_.aboutWindows) {
            // The window manager's own window names itself, and the active window has a class
            // or none; either one gone answers with an error (the window manager ended, or the
            // active window closed before it named the next one): then the input focus decides.
            const bool announced =
                windowOf(first) == fetch_.manager && (second || fetch_.window == XCB_NONE);
            finish(announced, announced && second ? namesIn(*second) : QStringList());
            continue;
        }
        if (!first || !second)
            return finish(true, {});
        // A root without the property has no EWMH window manager looking after it.
        fetch_.window = windowOf(first);
        fetch_.manager = windowOf(second);
        if (first->type == XCB_NONE || fetch_.manager == XCB_NONE) {
            finish(false, {});
            continue;
        }
        display_->watchEnds(fetch_.manager, fetch_.window);
        fetch_.aboutWindows = true;
        fetch_.first = xcb_get_property(fetch_.connection, 0, fetch_.manager,
                                        display_->windowManagerCheckAtom(), XCB_ATOM_WINDOW, 0, 1)
                           .sequence;
        // No active window answers with an error, as a gone one does.
        fetch_.second = requestClass(fetch_.connection, fetch_.window);
        fetch_.firstReply.reset();
        fetch_.secondReply.reset();
        xcb_flush(fetch_.connection);
    }
}

void X11FocusedApplication::finish(bool announced, QStringList names) {
    seen_ = fetch_.connection ? fetch_.changes : display_->activeWindowChanges();
    announced_ = announced;
    names_ = std::move(names);
    fetch_ = Fetch{};
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
