#pragma once

#include "ChordTyper.h"

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <chrono>
#include <deque>
#include <functional>

class BusDeadline;
class QDBusServiceWatcher;

// Kelmo Helper's GNOME Shell extension, as the agent sees it on the session bus: the focused
// window's names, told by the Shell at each change, and a method that types one paste chord,
// which answers the owner of the agent's bus name alone. Inside the Shell the focused window is
// known and keys are typed without the desktop portal's dialog.
class ShellExtension final : public QObject, public ChordTyper {
    Q_OBJECT
public:
    static constexpr const char* uuid = "kelmo-helper@ambertide.co";

    // A chord that the Shell has not typed within `patience` is taken as failed.
    explicit ShellExtension(QDBusConnection bus,
                            std::chrono::milliseconds patience = std::chrono::seconds(2));

    // Whether XDG_CURRENT_DESKTOP names GNOME, and the session is a Wayland one.
    static bool inGnomeWaylandSession();
    // Whether the extension is installed but the Shell, asked within `deadline`, has not loaded
    // it: on Wayland the Shell sees a new extension at the next login only.
    static bool awaitsNextLogin(QDBusConnection bus, const BusDeadline& deadline);

    // Whether the extension answers now, asked within `deadline`; if not, why not in `whyNot`.
    // True also when the Shell has loaded it but it is switched off (then `enabled()` is false):
    // switching it on is the permission this desktop asks for.
    bool isLoaded(const BusDeadline& deadline, QString& whyNot);
    // Follows the Shell, the extension's state and the focused window from now on.
    void start();

    bool enabled() const { return enabled_; }
    // Asks the extension again; `enabled()` follows once it has answered.
    void refresh();
    // Switches the extension on through the Shell's own interface, as its Extensions app does.
    void enable();
    QStringList focusedApplication() const { return names_; }

    QString whyNotReady() const override;
    // The chord is chosen for the window focused when the Shell is asked; `typed` runs once the
    // Shell typed it. Cancelled, not even the one in flight is answered.
    void type(Chooser choose, Typed typed) override;
    void cancel() override;

private Q_SLOTS:
    void focusChanged(const QStringList& names);
    void stateChanged(const QString& changed, const QVariantMap& state);

private:
    struct Pending {
        Chooser choose;
        Typed typed;
    };
    void sendNext();
    void shellGone();
    void failAll(const QString& why);

    QDBusConnection bus_;
    int patienceMs_;
    QDBusServiceWatcher* shell_ = nullptr;
    bool enabled_ = false;
    QStringList names_;
    std::deque<Pending> queue_;
    bool inFlight_ = false;
    // Bumped by cancel() and by the Shell going: answers to calls made before are not acted on.
    quint64 generation_ = 0;
};
