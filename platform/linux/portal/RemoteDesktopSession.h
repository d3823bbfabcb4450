#pragma once

#include "BusDeadline.h"
#include "PortalGrant.h"

#include <QDBusConnection>
#include <QObject>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class EisKeyboard;
class XkbKeys;
class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;
class QTimer;

// The agent's RemoteDesktop session with the desktop portal: started when the user grants it
// (the portal may ask), told apart from one the desktop ended, and the one way keys reach a
// Wayland session. Keys go out one call at a time, each after the portal accepted the one
// before: the portal hands calls to worker threads, and unawaited calls overtake each other.
// The portal answers before the compositor has the keys, so a chord also waits for the
// compositor to catch up with the one before: a flood outrunning it would overflow the backend's
// connection to it, and the backend would die with keys held down. Where the portal hands out an
// EIS connection to the compositor, keys go through it instead, each at once: the portal refuses
// its calls from then on, so chords wait for the connection, and its end ends the session.
class RemoteDesktopSession final : public QObject {
    Q_OBJECT
public:
    struct Key {
        bool symbol; // an X keysym; otherwise an evdev keycode
        int code;
        bool press;
    };
    using Typed = std::function<void(const QString& failure)>;
    // Makes a chord's keys when it begins to be typed.
    using Keys = std::function<std::vector<Key>()>;
    // Runs `caughtUp` once the compositor has read what it was sent so far.
    using Pace = std::function<void(std::function<void()> caughtUp)>;

    RemoteDesktopSession(QDBusConnection bus, PortalGrant grant, Pace pace = nullptr);
    // Keys a chord has pressed are released, waiting a second at most each.
    ~RemoteDesktopSession() override;

    bool isStarted() const { return state_ == State::started; }
    // Starts a session unless one is started or being started. The portal may show a dialog;
    // this returns at once.
    void start();
    // Whether the portal is on the bus, or can be started there; asked within `deadline`.
    bool portalAvailable(const BusDeadline& deadline) const;
    // Sends the keys `keys` makes, in order, once the chords before them are done; `typed` runs
    // when the portal has accepted every key, or with why not. Whatever happens, no key stays
    // pressed.
    void type(Keys keys, Typed typed);
    // Types nothing more: chords not begun are dropped, the one under way only releases what it
    // pressed, and no `typed` runs any more.
    void cancel();
    // The keymap of the compositor's EIS keyboard, while keys go through it and it gave one.
    XkbKeys* eisKeys() const;

private Q_SLOTS:
    void closed(const QDBusMessage& message);

private:
    enum class State { idle, starting, started };
    struct Chord {
        Keys make;
        std::vector<Key> keys;
        Typed typed;
        std::chrono::steady_clock::time_point asked;
    };
    void select(uint version);
    void startSelected(bool restoring);
    void failed(const QString& why, bool declined = false);
    void ended(const QString& why);
    void forgetSession();
    void watchBackends();
    void connectToEis();
    void endSession(const QString& why);
    void dropEis();
    bool waitsForEis() const;
    void resumeForEis();
    void typeThroughEis(const Key& key);
    void sendNext();
    void sendKey(const Key& key);
    // Asks the compositor to say when it has read what it was sent so far.
    void askCompositor();
    void releasePressed();
    void released(const Key& key);
    // The release of every key still down, last pressed first.
    std::vector<Key> releases() const;
    QDBusMessage notify(const Key& key) const;

    QDBusConnection bus_;
    PortalGrant grant_;
    Pace pace_;
    QDBusServiceWatcher* portalWatcher_;
    QDBusServiceWatcher* backendWatcher_;
    State state_ = State::idle;
    QString session_;
    unsigned sessions_ = 0;
    std::deque<Chord> chords_;
    bool sending_ = false;
    std::size_t next_ = 0;
    bool keysSent_ = false;
    // The compositor is asked, the queue waits for its answer, a chord typed since it was asked.
    bool compositorAsked_ = false;
    bool awaitingCompositor_ = false;
    bool unconfirmed_ = false;
    bool askedEis_ = false;
    unsigned asked_ = 0; // an answer to an earlier question is not this one's
    std::vector<Key> pressed_;
    QString failure_;
    QDBusPendingCallWatcher* inFlight_ = nullptr;
    uint version_ = 0;
    std::unique_ptr<EisKeyboard> eis_;
    bool eisAsked_ = false;
    bool eisTyped_ = false;
    unsigned eisConnections_ = 0; // the one in use; those before it end nothing
    // The queue waits for the EIS connection, at most until its first chord would be stale.
    bool parkedForEis_ = false;
    QTimer* eisWait_;
};
