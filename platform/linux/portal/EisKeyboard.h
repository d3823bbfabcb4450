#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class XkbKeys;

// The keyboard of an EIS connection to the compositor (libei), as the desktop portal's
// ConnectToEIS hands it out: the keys go straight to the compositor, without a D-Bus call each.
// Built without libei (Debian 12), `connect` makes nothing and the portal's calls type instead.
class EisKeyboard : public QObject {
    Q_OBJECT
public:
    using Ended = std::function<void(const QString& why)>;

    // Takes the connection `fd` (its own from now on); `ended` runs once, when it ends.
    static std::unique_ptr<EisKeyboard> connect(int fd, Ended ended);
    // Whether libei is built in.
    static bool available();

    // Whether the compositor lets keys be typed now: a keyboard it gave, and resumed.
    virtual bool ready() const = 0;
    // An evdev keycode pressed or released, sent at once.
    virtual void key(std::uint32_t code, bool press) = 0;
    // The keys of the keymap the compositor gave with the keyboard; none if it gave none.
    virtual XkbKeys* keys() = 0;
    // Runs `done` once the compositor has read everything sent before (a ping on the connection),
    // or after a second without an answer; a ping asked before is not answered any more.
    virtual void ping(std::function<void()> done) = 0;

Q_SIGNALS:
    // The compositor (again) lets keys be typed.
    void becameReady();
};
