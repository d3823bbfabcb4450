#pragma once

#include <QObject>
#include <QStringList>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <xcb/xcb.h>

class XcbDisplay;

// The names (WM_CLASS instance and class) of the application whose window is active. Followed
// through the window manager's _NET_ACTIVE_WINDOW announcements: the class is fetched when the
// active window changes, without waiting (the answers are taken as they come in), so neither the
// idle agent nor a later paste waits for it; a paste that comes before the answers waits for
// them. Without an EWMH window manager (none ever ran, or the one that ran has ended) the input
// focus and its nearest ancestor with a class are asked at paste time instead.
class X11FocusedApplication final : public QObject {
    Q_OBJECT
public:
    explicit X11FocusedApplication(std::shared_ptr<XcbDisplay> display);

    // As of the events read by the display's last connection() call; empty when no application
    // is known (no window is active, it went away, or the server doesn't answer).
    QStringList names();

private:
    using Reply = std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)>;
    // A fetch under way: two questions at a time, first to the root (the active window and the
    // window manager), then about those two windows.
    struct Fetch {
        xcb_connection_t* connection = nullptr; // none: no fetch under way
        std::uint64_t changes = 0;              // as of which announcement
        bool aboutWindows = false;
        xcb_window_t manager = XCB_NONE;
        xcb_window_t window = XCB_NONE;
        unsigned int first = 0;
        unsigned int second = 0;
        std::optional<Reply> firstReply;
        std::optional<Reply> secondReply;
    };

    void startFetch();
    // Takes the answers in so far, or waits (bounded) for all of them when `wait`.
    void advanceFetch(bool wait);
    bool take(unsigned int sequence, bool wait, std::optional<Reply>& reply);
    void finish(bool announced, QStringList names);
    static unsigned int requestClass(xcb_connection_t* connection, xcb_window_t window);
    static QStringList namesIn(const xcb_get_property_reply_t& property);
    QStringList classOf(xcb_window_t window);
    QStringList classOfInputFocus();

    std::shared_ptr<XcbDisplay> display_;
    std::uint64_t seen_ = 0;
    bool announced_ = true;
    QStringList names_;
    Fetch fetch_;
};
