#include "AgentPlatform.h"
#include "BusDeadline.h"
#include "BusRunningApplications.h"
#include "ChordKeyboard.h"
#include "KWinActiveWindow.h"
#include "NotificationNames.h"
#include "PasteChords.h"
#include "PortalAccessibilityTrust.h"
#include "PortalKeyboard.h"
#include "RemoteDesktopSession.h"
#include "SessionBusProbe.h"
#include "ShellExtension.h"
#include "ShellExtensionTrust.h"
#include "SystemLog.h"
#include "VirtualKeyboardTrust.h"
#include "WaylandKeymap.h"
#include "WlrootsSession.h"
#include "X11FocusedApplication.h"
#include "XTestAccessibilityTrust.h"
#include "XTestKeyboard.h"
#include "XcbDisplay.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>

namespace {
// How long the agent waits for the bus at start: a stopped daemon must not hold it without end.
constexpr std::chrono::milliseconds busPatience{5000};

enum class Backend { xtest, portal, wlroots, gnome };

// Whether the bus's desktop portal offers RemoteDesktop (xdg-desktop-portal-wlr, for one, has
// none): its version answers.
bool portalOffersRemoteDesktop(QDBusConnection bus, const BusDeadline& deadline) {
    QDBusMessage version = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"),
        QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    version << QStringLiteral("org.freedesktop.portal.RemoteDesktop") << QStringLiteral("version");
    return bus.call(version, QDBus::Block, deadline.remainingMs()).type() ==
           QDBusMessage::ReplyMessage;
}

// XTEST reaches X11 applications alone. In a Wayland session GNOME types through the agent's
// Shell extension where the Shell has loaded it; the desktop portal reaches native windows where
// it offers RemoteDesktop (Plasma, GNOME without the extension); wlroots compositors (sway,
// Hyprland, …) offer a virtual keyboard to their clients instead. KELMO_INPUT_BACKEND (xtest,
// portal, wlroots or gnome) overrides the guess. In a Wayland session `wlroots` is connected to
// find out.
Backend inputBackend(QDBusConnection bus, WlrootsSession& wlroots, ShellExtension& extension,
                     const BusDeadline& deadline) {
    const QByteArray chosen = qgetenv("KELMO_INPUT_BACKEND");
    if (chosen == "xtest")
        return Backend::xtest;
    if (chosen == "portal")
        return Backend::portal;
    if (chosen == "wlroots")
        return Backend::wlroots;
    if (chosen == "gnome")
        return Backend::gnome;
    const bool wayland =
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == "wayland";
    Backend guessed = Backend::xtest;
    if (ShellExtension::inGnomeWaylandSession()) {
        QString whyNot;
        const bool loaded = extension.isLoaded(deadline, whyNot);
        if (!whyNot.isEmpty())
            SystemLog::printErrorLine(loaded ? whyNot
                                             : QStringLiteral("typing through the desktop portal, "
                                                              "which asks at every start: %1")
                                                   .arg(whyNot));
        if (loaded)
            guessed = Backend::gnome;
    }
    if (wayland && guessed != Backend::gnome) {
        wlroots.open(false);
        guessed = wlroots.offersVirtualKeyboard() && !portalOffersRemoteDesktop(bus, deadline)
                      ? Backend::wlroots
                      : Backend::portal;
    }
    if (!chosen.isEmpty())
        SystemLog::printErrorLine(
            QStringLiteral("KELMO_INPUT_BACKEND=%1 is none of xtest, portal, wlroots and gnome; "
                           "typing through %2")
                .arg(QString::fromLocal8Bit(chosen),
                     guessed == Backend::portal    ? QStringLiteral("the desktop portal")
                     : guessed == Backend::wlroots ? QStringLiteral("the virtual keyboard")
                     : guessed == Backend::gnome   ? QStringLiteral("the GNOME Shell extension")
                                                   : QStringLiteral("XTEST")));
    return guessed;
}
} // namespace

void prepareAgentProcess() {}

std::optional<AgentPlatform> makeAgentPlatform(QString& whyNot) {
    if (!sessionBusAnswers(busPatience, whyNot))
        return std::nullopt;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        whyNot =
            QStringLiteral("cannot connect to the session bus: %1").arg(bus.lastError().message());
        return std::nullopt;
    }
    // Every question to the bus from here to the event loop shares one bound: a bus that stops
    // answering after the probe must not hold the start longer than a D-Bus activation waits.
    const BusDeadline deadline(busPatience);
    auto chords = std::make_shared<PasteChords>(PasteChords::defaultSettingsFile());
    auto wlroots = std::make_shared<WlrootsSession>();
    auto extension = std::make_shared<ShellExtension>(bus);
    const Backend backend = inputBackend(bus, *wlroots, *extension, deadline);
    const bool chosen = !qEnvironmentVariableIsEmpty("KELMO_INPUT_BACKEND");
    if (backend == Backend::gnome) {
        if (QString whyAbsent; chosen && !extension->isLoaded(deadline, whyAbsent))
            SystemLog::printErrorLine(
                QStringLiteral("KELMO_INPUT_BACKEND=gnome, but %1").arg(whyAbsent));
        return AgentPlatform{std::make_unique<BusRunningApplications>(bus),
                             std::make_unique<ChordKeyboard>(extension, chords),
                             std::make_unique<ShellExtensionTrust>(extension), [extension] {
                                 extension->start();
                             }};
    }
    extension.reset();
    if (backend == Backend::wlroots) {
        // Chosen by hand, it may not be there; the agent still runs, and says so at each request.
        if (chosen && !(wlroots->open(false) && wlroots->offersVirtualKeyboard()))
            SystemLog::printErrorLine(
                QStringLiteral("KELMO_INPUT_BACKEND=wlroots, but no virtual keyboard can be made: "
                               "%1")
                    .arg(wlroots->lastError().isEmpty()
                             ? QStringLiteral("the compositor offers none")
                             : wlroots->lastError()));
        return AgentPlatform{std::make_unique<BusRunningApplications>(bus),
                             std::make_unique<ChordKeyboard>(wlroots, chords),
                             std::make_unique<VirtualKeyboardTrust>(wlroots),
                             // Without it now, the first request makes it (or says why not).
                             [wlroots] {
                                 wlroots->open();
                             }};
    }
    wlroots.reset();
    if (backend == Backend::portal) {
        auto keymap = std::make_shared<WaylandKeymap>(bus);
        auto session = std::make_shared<RemoteDesktopSession>(
            bus, PortalGrant(), [compositor = std::weak_ptr(keymap)](auto caughtUp) {
                if (const auto live = compositor.lock())
                    live->catchUp(std::move(caughtUp));
            });
        if (!session->portalAvailable(deadline))
            SystemLog::printErrorLine(
                chosen ? QStringLiteral(
                             "KELMO_INPUT_BACKEND=portal, but the session bus has no desktop "
                             "portal; install xdg-desktop-portal with a backend that offers "
                             "RemoteDesktop (KDE, GNOME)")
                       : QStringLiteral(
                             "typing through the desktop portal (Wayland session), but the "
                             "session bus has no desktop portal and the compositor offers no "
                             "virtual keyboard; install xdg-desktop-portal with a backend that "
                             "offers RemoteDesktop (KDE, GNOME), or set KELMO_INPUT_BACKEND=xtest "
                             "to type into X11 applications only"));
        auto activeWindow = std::make_shared<KWinActiveWindow>(bus);
        return AgentPlatform{
            std::make_unique<BusRunningApplications>(bus),
            std::make_unique<PortalKeyboard>(session, keymap, activeWindow, chords),
            std::make_unique<PortalAccessibilityTrust>(session), [activeWindow] {
                activeWindow->start();
            }};
    }
    auto display = std::make_shared<XcbDisplay>();
    if (chosen && !display->connection())
        SystemLog::printErrorLine(
            QStringLiteral("KELMO_INPUT_BACKEND=xtest, but %1").arg(display->lastError()));
    return AgentPlatform{std::make_unique<BusRunningApplications>(bus),
                         std::make_unique<XTestKeyboard>(
                             display, std::make_shared<X11FocusedApplication>(display), chords),
                         std::make_unique<XTestAccessibilityTrust>(display),
                         {}};
}

bool becomeTheOnlyAgent(QString& whyNot) {
    const QString helperId = QString::fromLatin1(BundleIdentifier::helper);
    QDBusMessage request = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    constexpr uint doNotQueue = 4;
    constexpr uint primaryOwner = 1;
    request << helperId << doNotQueue;
    const QDBusReply<uint> reply =
        QDBusConnection::sessionBus().call(request, QDBus::Block, int(busPatience.count()));
    if (reply.isValid() && reply.value() == primaryOwner)
        return true;
    whyNot = reply.isValid() ? QStringLiteral("another agent already runs (it owns %1 on the "
                                              "session bus); this one exits")
                                   .arg(helperId)
                             : QStringLiteral("cannot own %1 on the session bus: %2")
                                   .arg(helperId, reply.error().message());
    return false;
}
