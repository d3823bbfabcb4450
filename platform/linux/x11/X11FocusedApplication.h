#pragma once

#include <QObject>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <xcb/xcb.h>

class XcbDisplay;

// The names (WM_CLASS instance and class) of the application whose window is active. Followed
// through the window manager's _NET_ACTIVE_WINDOW announcements: the class is fetched when the
// active window changes, so a paste needs no round trip for it. Without an EWMH window manager
// (none ever ran, or the one that ran has ended) the input focus and its nearest ancestor with a
// class are asked at paste time instead.
class X11FocusedApplication final : public QObject {
    Q_OBJECT
public:
    explicit X11FocusedApplication(std::shared_ptr<XcbDisplay> display);

    // As of the events read by the display's last connection() call; empty when no application
    // is known (no window is active, it went away, or the server doesn't answer).
    QStringList names();

private:
    void refresh();
    static unsigned int requestClass(xcb_connection_t* connection, xcb_window_t window);
    static QStringList namesIn(const xcb_get_property_reply_t& property);
    QStringList classOf(xcb_window_t window);
    QStringList classOfInputFocus();

    std::shared_ptr<XcbDisplay> display_;
    std::uint64_t seen_ = 0;
    bool announced_ = true;
    QStringList names_;
};
