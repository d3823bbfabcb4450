#include "RemoteDesktopSession.h"

#include "PortalNames.h"
#include "PortalRequest.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace {
constexpr uint keyboard = 1;
// Permissions kept until the user revokes them.
constexpr uint persistUntilRevoked = 2;
constexpr uint declined = 1;
// The steps that need no user answer, and Start, before which the user may read a dialog.
constexpr int answerTimeoutMs = 10000;
constexpr int startTimeoutMs = 120000;
constexpr int keyTimeoutMs = 2000;
constexpr int releaseTimeoutMs = 1000;

void say(const QString& line) {
    std::fprintf(stderr, "Kelmo Helper: %s\n", qUtf8Printable(line));
}

QString objectPath(const QVariant& value) {
    return value.canConvert<QDBusObjectPath>() ? value.value<QDBusObjectPath>().path()
                                               : value.toString();
}
} // namespace

RemoteDesktopSession::RemoteDesktopSession(QDBusConnection bus, PortalGrant grant)
    : bus_(std::move(bus))
    , grant_(std::move(grant))
    , portalWatcher_(new QDBusServiceWatcher(Portal::service, bus_,
                                             QDBusServiceWatcher::WatchForUnregistration, this)) {
    connect(portalWatcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { ended(QStringLiteral("the desktop portal went away")); });
    // The user granted access before: take it up again, once, without being asked.
    if (grant_.granted())
        QTimer::singleShot(0, this, &RemoteDesktopSession::start);
}

RemoteDesktopSession::~RemoteDesktopSession() {
    chords_.clear();
    if (state_ != State::started)
        return;
    for (auto key = pressed_.rbegin(); key != pressed_.rend(); ++key) {
        Key release = *key;
        release.press = false;
        bus_.call(notify(release), QDBus::Block, releaseTimeoutMs);
    }
}

bool RemoteDesktopSession::portalAvailable() const {
    QDBusConnectionInterface* daemon = bus_.interface();
    return daemon && (daemon->isServiceRegistered(Portal::service).value() ||
                      daemon->activatableServiceNames().value().contains(Portal::service));
}

void RemoteDesktopSession::start() {
    if (state_ != State::idle)
        return;
    state_ = State::starting;
    QDBusMessage get = QDBusMessage::createMethodCall(
        Portal::service, Portal::path, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << Portal::remoteDesktop << QStringLiteral("version");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(get, answerTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        const QDBusPendingReply<QDBusVariant> reply = *watcher;
        watcher->deleteLater();
        if (reply.isError())
            return failed(QStringLiteral("no desktop portal offers RemoteDesktop on the session "
                                         "bus (%1)")
                              .arg(reply.error().message()));
        select(reply.value().variant().toUInt());
    });
}

void RemoteDesktopSession::select(uint version) {
    PortalRequest::call(
        bus_, this, Portal::remoteDesktop, QStringLiteral("CreateSession"),
        {QVariantMap{
            {QStringLiteral("session_handle_token"), QStringLiteral("kelmo%1").arg(++sessions_)}}},
        answerTimeoutMs,
        [this, version](uint response, const QVariantMap& results, const QString& error) {
            if (!error.isEmpty() || response != 0)
                return failed(error.isEmpty() ? QStringLiteral("the desktop portal could not "
                                                               "create a session")
                                              : error,
                              response == declined);
            session_ = objectPath(results.value(QStringLiteral("session_handle")));
            bus_.connect(Portal::service, session_, Portal::sessionInterface,
                         QStringLiteral("Closed"), this, SLOT(closed()));
            QVariantMap options{{QStringLiteral("types"), keyboard}};
            const std::optional<QString> token =
                version >= 2 ? grant_.restoreToken() : std::nullopt;
            if (version >= 2) {
                options.insert(QStringLiteral("persist_mode"), persistUntilRevoked);
                if (token)
                    options.insert(QStringLiteral("restore_token"), *token);
            }
            PortalRequest::call(
                bus_, this, Portal::remoteDesktop, QStringLiteral("SelectDevices"),
                {QVariant::fromValue(QDBusObjectPath(session_)), options}, answerTimeoutMs,
                [this, restoring = token.has_value()](uint code, const QVariantMap&,
                                                      const QString& why) {
                    if (!why.isEmpty() || code != 0)
                        return failed(why.isEmpty() ? QStringLiteral("the desktop portal refused "
                                                                     "the keyboard")
                                                    : why,
                                      code == declined);
                    startSelected(restoring);
                });
        });
}

void RemoteDesktopSession::startSelected(bool restoring) {
    PortalRequest::call(
        bus_, this, Portal::remoteDesktop, QStringLiteral("Start"),
        {QVariant::fromValue(QDBusObjectPath(session_)), QString(), QVariantMap()}, startTimeoutMs,
        [this, restoring](uint response, const QVariantMap& results, const QString& error) {
            if (restoring && (!error.isEmpty() || response != 0))
                grant_.forget(); // a token used once is spent; a refused one is no use
            if (!error.isEmpty())
                return failed(error);
            if (response == declined)
                return failed(QStringLiteral("the request to type was declined"), true);
            if (response != 0 || !(results.value(QStringLiteral("devices")).toUInt() & keyboard))
                return failed(QStringLiteral("the desktop did not grant the keyboard"));
            state_ = State::started;
            if (!grant_.remember(results.value(QStringLiteral("restore_token")).toString()))
                say(QStringLiteral("cannot remember that typing was allowed; the next start "
                                   "will not take it up again"));
        });
}

void RemoteDesktopSession::failed(const QString& why, bool userDeclined) {
    if (userDeclined)
        grant_.forget();
    say(QStringLiteral("no typing session with the desktop: %1").arg(why));
    state_ = State::idle;
    session_.clear();
}

void RemoteDesktopSession::closed() {
    ended(QStringLiteral("the desktop closed it"));
}

void RemoteDesktopSession::ended(const QString& why) {
    if (state_ == State::idle)
        return;
    say(QStringLiteral("the typing session ended: %1").arg(why));
    state_ = State::idle;
    session_.clear();
}

QDBusMessage RemoteDesktopSession::notify(const Key& key) const {
    QDBusMessage call =
        QDBusMessage::createMethodCall(Portal::service, Portal::path, Portal::remoteDesktop,
                                       key.symbol ? QStringLiteral("NotifyKeyboardKeysym")
                                                  : QStringLiteral("NotifyKeyboardKeycode"));
    call << QVariant::fromValue(QDBusObjectPath(session_)) << QVariantMap() << key.code
         << uint(key.press ? 1 : 0);
    return call;
}

void RemoteDesktopSession::type(std::vector<Key> keys, Typed typed) {
    chords_.push_back({std::move(keys), std::move(typed)});
    if (!sending_) {
        sending_ = true;
        next_ = 0;
        failure_.clear();
        sendNext();
    }
}

void RemoteDesktopSession::sendNext() {
    Chord& chord = chords_.front();
    if (next_ == chord.keys.size()) {
        const Typed typed = std::move(chord.typed);
        const QString failure = std::exchange(failure_, {});
        chords_.pop_front();
        next_ = 0;
        sending_ = !chords_.empty();
        typed(failure);
        if (sending_)
            sendNext();
        return;
    }
    if (state_ != State::started && failure_.isEmpty()) {
        failure_ = QStringLiteral("no typing session with the desktop");
        releasePressed();
        return sendNext();
    }
    const Key key = chord.keys[next_++];
    if (key.press)
        pressed_.push_back(key);
    else
        std::erase_if(pressed_,
                      [&](const Key& k) { return k.code == key.code && k.symbol == key.symbol; });
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(notify(key), keyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        const bool error = watcher->isError();
        const QString why = watcher->error().message();
        watcher->deleteLater();
        // After a failure only releases are left, and their own failures change nothing.
        if (error && failure_.isEmpty()) {
            failure_ =
                QStringLiteral("the desktop portal did not take the keystroke (%1)").arg(why);
            releasePressed();
        }
        sendNext();
    });
}

// What is left of the chord becomes the release of every key it pressed, last pressed first.
void RemoteDesktopSession::releasePressed() {
    Chord& chord = chords_.front();
    chord.keys.clear();
    for (auto key = pressed_.rbegin(); key != pressed_.rend(); ++key)
        chord.keys.push_back({key->symbol, key->code, false});
    next_ = 0;
}
