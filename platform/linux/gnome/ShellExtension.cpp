#include "ShellExtension.h"

#include "BusDeadline.h"
#include "SystemLog.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QStandardPaths>

namespace {
const QString shell = QStringLiteral("org.gnome.Shell");
const QString path = QStringLiteral("/co/ambertide/KelmoHelper/Shell");
const QString interface = QStringLiteral("co.ambertide.KelmoHelper.Shell");
const QString extensions = QStringLiteral("org.gnome.Shell.Extensions");

QString named(const QString& what) {
    return QStringLiteral("the GNOME Shell extension %1 %2")
        .arg(QLatin1String(ShellExtension::uuid), what);
}

QDBusMessage askFocused() {
    return QDBusMessage::createMethodCall(shell, path, interface,
                                          QStringLiteral("FocusedApplication"));
}

QStringList focusedIn(const QDBusMessage& reply) {
    return reply.arguments().value(0).toStringList();
}

// Whether the error says there is nothing to answer: the extension switched off, or no Shell.
bool absent(const QString& error) {
    for (const char* name :
         {"org.freedesktop.DBus.Error.UnknownObject", "org.freedesktop.DBus.Error.UnknownMethod",
          "org.freedesktop.DBus.Error.UnknownInterface",
          "org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner"})
        if (error == QLatin1String(name))
            return true;
    return false;
}

bool installed() {
    return !QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                   QStringLiteral("gnome-shell/extensions/%1/metadata.json")
                                       .arg(QLatin1String(ShellExtension::uuid)))
                .isEmpty();
}

QDBusMessage askInfo() {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        shell, QStringLiteral("/org/gnome/Shell"), extensions, QStringLiteral("GetExtensionInfo"));
    ask << QLatin1String(ShellExtension::uuid);
    return ask;
}

// Why the Shell does not answer for the extension, from what it says of it.
QString whyNotAnswering(const QVariantMap& info, bool& loaded) {
    loaded = false;
    if (info.isEmpty())
        return !installed()
                   ? named(QStringLiteral("is not installed"))
                   : named(QStringLiteral("is installed, but GNOME Shell has not loaded it yet; "
                                          "it will once you log out and in again"));
    // The Shell's ExtensionState: 1 enabled, 2 disabled, 3 error, 4 out of date, 6 initialized.
    switch (int(info.value(QStringLiteral("state")).toDouble())) {
    case 2:
    case 6:
        loaded = true;
        return named(QStringLiteral("is switched off; Allow Typing in Kelmo Helper Installer "
                                    "switches it on"));
    case 3:
        return named(QStringLiteral("failed in GNOME Shell: %1")
                         .arg(info.value(QStringLiteral("error")).toString()));
    case 4:
        return named(QStringLiteral("does not support this version of GNOME Shell"));
    default:
        return named(QStringLiteral("does not answer"));
    }
}
} // namespace

bool ShellExtension::inGnomeWaylandSession() {
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && qgetenv("XDG_SESSION_TYPE") != "wayland")
        return false;
    for (const QByteArray& desktop : qgetenv("XDG_CURRENT_DESKTOP").split(':'))
        if (desktop.compare("GNOME", Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool ShellExtension::awaitsNextLogin(QDBusConnection bus, const BusDeadline& deadline) {
    const QDBusMessage info = bus.call(askInfo(), QDBus::Block, deadline.remainingMs());
    return info.type() == QDBusMessage::ReplyMessage &&
           qdbus_cast<QVariantMap>(info.arguments().value(0)).isEmpty() && installed();
}

ShellExtension::ShellExtension(QDBusConnection bus, std::chrono::milliseconds patience)
    : bus_(std::move(bus))
    , patienceMs_(int(patience.count())) {}

bool ShellExtension::isLoaded(const BusDeadline& deadline, QString& whyNot) {
    // Asked before the agent owns its name, the extension refuses to say more: that it answers
    // is enough, the names are asked again at start().
    const QDBusMessage focused = bus_.call(askFocused(), QDBus::Block, deadline.remainingMs());
    if (focused.type() == QDBusMessage::ReplyMessage ||
        focused.errorName() == QLatin1String("org.freedesktop.DBus.Error.AccessDenied")) {
        enabled_ = true;
        names_ = focusedIn(focused);
        return true;
    }
    const QDBusMessage info = bus_.call(askInfo(), QDBus::Block, deadline.remainingMs());
    if (info.type() != QDBusMessage::ReplyMessage) {
        whyNot = QStringLiteral("GNOME Shell does not answer on the session bus (%1)")
                     .arg(info.errorMessage());
        return false;
    }
    bool loaded = false;
    whyNot = whyNotAnswering(qdbus_cast<QVariantMap>(info.arguments().value(0)), loaded);
    enabled_ = false;
    // Switched on, it would still not run while the user has every extension switched off.
    if (loaded) {
        QDBusMessage ask = QDBusMessage::createMethodCall(
            shell, QStringLiteral("/org/gnome/Shell"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        ask << extensions << QStringLiteral("UserExtensionsEnabled");
        const QDBusMessage all = bus_.call(ask, QDBus::Block, deadline.remainingMs());
        if (all.type() == QDBusMessage::ReplyMessage &&
            !all.arguments().value(0).value<QDBusVariant>().variant().toBool()) {
            whyNot = named(QStringLiteral("can't run: extensions are switched off as a whole in "
                                          "GNOME (the Extensions app switches them on)"));
            loaded = false;
        }
    }
    return loaded;
}

void ShellExtension::start() {
    shell_ = new QDBusServiceWatcher(shell, bus_,
                                     QDBusServiceWatcher::WatchForRegistration |
                                         QDBusServiceWatcher::WatchForUnregistration,
                                     this);
    connect(shell_, &QDBusServiceWatcher::serviceUnregistered, this, &ShellExtension::shellGone);
    // A new Shell loads the extension anew: asked once it is there.
    connect(shell_, &QDBusServiceWatcher::serviceRegistered, this, &ShellExtension::refresh);
    bus_.connect(shell, path, interface, QStringLiteral("FocusedApplicationChanged"), this,
                 SLOT(focusChanged(QStringList)));
    bus_.connect(shell, QStringLiteral("/org/gnome/Shell"), extensions,
                 QStringLiteral("ExtensionStateChanged"), this,
                 SLOT(stateChanged(QString, QVariantMap)));
    // The names, now that the agent owns its name; and whatever changed since isLoaded().
    refresh();
}

void ShellExtension::refresh() {
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(askFocused(), patienceMs_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusMessage reply = w->reply();
        enabled_ = reply.type() == QDBusMessage::ReplyMessage;
        if (enabled_)
            names_ = focusedIn(reply);
        else if (!absent(reply.errorName()))
            SystemLog::printErrorLine(named(
                QStringLiteral("does not say the focused window: %1").arg(reply.errorMessage())));
    });
}

void ShellExtension::enable() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        shell, QStringLiteral("/org/gnome/Shell"), extensions, QStringLiteral("EnableExtension"));
    call << QLatin1String(uuid);
    bus_.asyncCall(call, patienceMs_);
}

void ShellExtension::focusChanged(const QStringList& names) {
    enabled_ = true;
    names_ = names;
}

void ShellExtension::stateChanged(const QString& changed, const QVariantMap&) {
    if (changed == QLatin1String(uuid))
        refresh();
}

QString ShellExtension::whyNotReady() const {
    return enabled_ ? QString()
                    : named(QStringLiteral("is switched off or GNOME Shell has gone; "
                                           "shouldRequestAccess switches it on"));
}

void ShellExtension::type(Chooser choose, Typed typed) {
    queue_.push_back({std::move(choose), std::move(typed)});
    sendNext();
}

// One chord at a time: each is chosen for the window focused when it goes out, and a Shell that
// stops answering holds no more than the one it was sent.
void ShellExtension::sendNext() {
    if (inFlight_ || queue_.empty())
        return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(shell, path, interface, QStringLiteral("Paste"));
    // Past its time the Shell types nothing: a Shell stalled longer than the agent waits must not
    // type the chord later, into whatever has the focus by then. Half the wait, since the
    // agent's timer may give up a little early.
    const auto notAfter = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch() +
        std::chrono::milliseconds(patienceMs_ / 2));
    call << queue_.front().choose(names_).text() << qint64(notAfter.count());
    inFlight_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, patienceMs_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation = generation_](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (generation != generation_)
                    return;
                inFlight_ = false;
                const QDBusMessage reply = w->reply();
                if (reply.type() == QDBusMessage::ReplyMessage) {
                    const Typed typed = std::move(queue_.front().typed);
                    queue_.pop_front();
                    typed(QString());
                    sendNext();
                    return;
                }
                const QString error = reply.errorName();
                if (error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
                    error == QLatin1String("org.freedesktop.DBus.Error.Timeout")) {
                    // The ones behind it would wait as long each: they fail now.
                    failAll(QStringLiteral("GNOME Shell does not answer"));
                    return;
                }
                if (absent(error)) {
                    enabled_ = false;
                    failAll(named(QStringLiteral("is switched off")));
                    return;
                }
                const Typed typed = std::move(queue_.front().typed);
                queue_.pop_front();
                typed(QStringLiteral("GNOME Shell did not type it: %1").arg(reply.errorMessage()));
                sendNext();
            });
}

void ShellExtension::cancel() {
    ++generation_;
    inFlight_ = false;
    queue_.clear();
}

void ShellExtension::shellGone() {
    enabled_ = false;
    failAll(QStringLiteral("GNOME Shell has gone"));
}

void ShellExtension::failAll(const QString& why) {
    ++generation_;
    inFlight_ = false;
    // A `typed` may ask for another paste: the queue is taken first.
    std::deque<Pending> failed;
    failed.swap(queue_);
    const quint64 generation = generation_;
    for (Pending& pending : failed) {
        // One that cancels the rest: the rest hear nothing more.
        if (generation != generation_)
            return;
        pending.typed(why);
    }
}
