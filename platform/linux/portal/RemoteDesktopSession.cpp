#include "RemoteDesktopSession.h"

#include "EisKeyboard.h"
#include "PortalNames.h"
#include "PortalRequest.h"
#include "SystemLog.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>

Q_LOGGING_CATEGORY(lcInput, "kelmo.input", QtInfoMsg)

namespace {
constexpr uint keyboard = 1;
// Permissions kept until the user revokes them.
constexpr uint persistUntilRevoked = 2;
constexpr uint declined = 1;
// The steps that need no user answer, and Start, before which the user may read a dialog.
constexpr int answerTimeoutMs = 10000;
// A backend asked what it offers when a session starts; a busy one is watched unasked.
constexpr int backendQuestionTimeoutMs = 2000;
constexpr int startTimeoutMs = 120000;
constexpr int keyTimeoutMs = 2000;
constexpr int releaseTimeoutMs = 1000;
// A paste that waited this long for the portal to take the ones before it is not typed.
constexpr auto stale = std::chrono::seconds(5);

// The session's object path, as a path or, as the KDE backend gives it, a string; empty unless
// it is a valid object path.
QString objectPath(const QVariant& value) {
    const QString path = value.canConvert<QDBusObjectPath>() ? value.value<QDBusObjectPath>().path()
                                                             : value.toString();
    static const QRegularExpression valid(QStringLiteral("^/([A-Za-z0-9_]+(/[A-Za-z0-9_]+)*)?$"));
    return valid.match(path).hasMatch() ? path : QString();
}
} // namespace

RemoteDesktopSession::RemoteDesktopSession(QDBusConnection bus, PortalGrant grant, Pace pace)
    : bus_(std::move(bus))
    , grant_(std::move(grant))
    , pace_(std::move(pace))
    , portalWatcher_(new QDBusServiceWatcher(Portal::service, bus_,
                                             QDBusServiceWatcher::WatchForUnregistration, this))
    , backendWatcher_(
          new QDBusServiceWatcher({}, bus_, QDBusServiceWatcher::WatchForUnregistration, this))
    , eisWait_(new QTimer(this)) {
    eisWait_->setSingleShot(true);
    connect(eisWait_, &QTimer::timeout, this, &RemoteDesktopSession::resumeForEis);
    connect(portalWatcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { ended(QStringLiteral("the desktop portal went away")); });
    // The portal goes on answering every key with success for a session whose backend died.
    connect(backendWatcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            [this](const QString& backend) {
                ended(QStringLiteral("the desktop portal's backend %1 went away").arg(backend));
            });
    // The user granted access before: take it up again, once, without being asked.
    if (grant_.granted())
        QTimer::singleShot(0, this, &RemoteDesktopSession::start);
}

RemoteDesktopSession::~RemoteDesktopSession() {
    chords_.clear();
    if (state_ != State::started)
        return;
    // A release sent before the press it follows is answered could overtake it, and leave the
    // key down for good. Its answer must not run the queue, which is gone: it is only awaited.
    if (inFlight_) {
        inFlight_->disconnect(this);
        inFlight_->waitForFinished();
    }
    for (const Key& release : releases()) {
        if (!eis_)
            bus_.call(notify(release), QDBus::Block, releaseTimeoutMs);
        else if (eis_->ready())
            eis_->key(uint(release.code), false);
    }
}

bool RemoteDesktopSession::portalAvailable(const BusDeadline& deadline) const {
    const auto ask = [this, &deadline](const QString& question, const QVariantList& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), question);
        call.setArguments(arguments);
        return bus_.call(call, QDBus::Block, deadline.remainingMs()).arguments().value(0);
    };
    return ask(QStringLiteral("NameHasOwner"), {Portal::service}).toBool() ||
           ask(QStringLiteral("ListActivatableNames"), {}).toStringList().contains(Portal::service);
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
    version_ = version;
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
            if (session_.isEmpty())
                return failed(QStringLiteral("the desktop portal named no session"));
            bus_.connect(Portal::service, session_, Portal::sessionInterface,
                         QStringLiteral("Closed"), this, SLOT(closed(QDBusMessage)));
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
            watchBackends();
            connectToEis();
            if (!grant_.remember(results.value(QStringLiteral("restore_token")).toString()))
                SystemLog::printErrorLine(
                    QStringLiteral("cannot remember that typing was allowed; the next start "
                                   "will not take it up again"));
        });
}

void RemoteDesktopSession::failed(const QString& why, bool userDeclined) {
    if (userDeclined)
        grant_.forget();
    SystemLog::printErrorLine(QStringLiteral("no typing session with the desktop: %1").arg(why));
    // A session given up on is closed, or a dialog the user answers later would start it.
    if (!session_.isEmpty())
        bus_.asyncCall(QDBusMessage::createMethodCall(
            Portal::service, session_, Portal::sessionInterface, QStringLiteral("Close")));
    forgetSession();
}

void RemoteDesktopSession::closed(const QDBusMessage& message) {
    // Only the session in use counts; one given up on earlier may close any time.
    if (message.path() == session_)
        ended(QStringLiteral("the desktop closed it"));
}

void RemoteDesktopSession::ended(const QString& why) {
    if (state_ == State::idle)
        return;
    SystemLog::printErrorLine(QStringLiteral("the typing session ended: %1").arg(why));
    // The chord under way can't be finished in a session that is gone, nor its keys released.
    if (!chords_.empty() && !chords_.front().make) {
        Chord& chord = chords_.front();
        chord.keys.resize(std::min(next_, chord.keys.size()));
        if (failure_.isEmpty())
            failure_ = QStringLiteral("the typing session ended: %1").arg(why);
    }
    pressed_.clear();
    forgetSession();
}

void RemoteDesktopSession::watchBackends() {
    // The portal doesn't say which of the backends that show the desktop's own dialogs serves
    // this session. All that run now are watched, and each is asked what it offers without
    // waiting: one without RemoteDesktop (the GTK one that GTK applications pull in on Plasma)
    // comes and goes on its own and ends nothing. One too busy to answer stays watched.
    QDBusMessage list = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListNames"));
    const QDBusMessage names = bus_.call(list, QDBus::Block, answerTimeoutMs);
    QStringList backends;
    for (const QString& name : names.arguments().value(0).toStringList())
        if (name.startsWith(Portal::backendPrefix))
            backends << name;
    backendWatcher_->setWatchedServices(backends);
    for (const QString& name : std::as_const(backends)) {
        auto* answer = new QDBusPendingCallWatcher(
            bus_.asyncCall(QDBusMessage::createMethodCall(
                               name, Portal::path,
                               QStringLiteral("org.freedesktop.DBus.Introspectable"),
                               QStringLiteral("Introspect")),
                           backendQuestionTimeoutMs),
            this);
        connect(answer, &QDBusPendingCallWatcher::finished, this, [this, answer, name] {
            answer->deleteLater();
            const QDBusMessage description = answer->reply();
            const bool silent =
                description.type() == QDBusMessage::ErrorMessage &&
                description.errorName() == QStringLiteral("org.freedesktop.DBus.Error.NoReply");
            const bool serves = description.type() == QDBusMessage::ReplyMessage &&
                                description.arguments().value(0).toString().contains(QStringLiteral(
                                    "\"org.freedesktop.impl.portal.RemoteDesktop\""));
            if (!silent && !serves)
                backendWatcher_->removeWatchedService(name);
        });
    }
}

void RemoteDesktopSession::connectToEis() {
    if (version_ < 2 || !EisKeyboard::available())
        return;
    eisAsked_ = true;
    QDBusMessage connect = QDBusMessage::createMethodCall(
        Portal::service, Portal::path, Portal::remoteDesktop, QStringLiteral("ConnectToEIS"));
    connect << QVariant::fromValue(QDBusObjectPath(session_)) << QVariantMap();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(connect, answerTimeoutMs), this);
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, session = session_] {
            watcher->deleteLater();
            if (session != session_)
                return;
            eisAsked_ = false;
            const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
            const QDBusError::ErrorType error = reply.error().type();
            // Unanswered, the portal may have switched to EIS all the same and refuse its calls.
            if (error == QDBusError::NoReply || error == QDBusError::Timeout)
                return endSession(QStringLiteral("the desktop portal did not hand out the "
                                                 "compositor's input connection in time"));
            // A backend without EIS refuses: its calls type, as on older portals.
            if (reply.isError())
                return resumeForEis();
            const int fd = reply.value().isValid()
                               ? ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0)
                               : -1;
            eis_ = fd < 0 ? nullptr
                          : EisKeyboard::connect(
                                fd, [this, connection = eisConnections_](const QString& why) {
                                    // A connection dropped already ends nothing: a new session may
                                    // be on.
                                    if (connection == eisConnections_)
                                        endSession(why);
                                });
            if (!eis_)
                return endSession(
                    QStringLiteral("the compositor's input connection can't be used"));
            eisTyped_ = false;
            QObject::connect(eis_.get(), &EisKeyboard::becameReady, this,
                             &RemoteDesktopSession::resumeForEis);
            resumeForEis();
        });
}

// The portal takes no more calls once the connection is made: the session goes with it.
void RemoteDesktopSession::endSession(const QString& why) {
    if (!session_.isEmpty())
        bus_.asyncCall(QDBusMessage::createMethodCall(
            Portal::service, session_, Portal::sessionInterface, QStringLiteral("Close")));
    ended(why);
}

void RemoteDesktopSession::dropEis() {
    eisAsked_ = false;
    if (!eis_)
        return;
    // It may be telling its end from inside its own event handling; it goes with the session
    // at the latest.
    ++eisConnections_;
    EisKeyboard* old = eis_.release();
    old->setParent(this);
    old->deleteLater();
    // Its ping is never answered now: the chords it held go on (and find no session).
    if (compositorAsked_ && askedEis_) {
        ++asked_;
        compositorAsked_ = unconfirmed_ = false;
        if (std::exchange(awaitingCompositor_, false))
            QMetaObject::invokeMethod(this, &RemoteDesktopSession::sendNext, Qt::QueuedConnection);
    }
}

bool RemoteDesktopSession::waitsForEis() const {
    return eisAsked_ || (eis_ && !eis_->ready());
}

void RemoteDesktopSession::resumeForEis() {
    if (!std::exchange(parkedForEis_, false))
        return;
    eisWait_->stop();
    sendNext();
}

void RemoteDesktopSession::typeThroughEis(const Key& key) {
    keysSent_ = true;
    if (key.press)
        pressed_.push_back(key);
    else
        released(key);
    eis_->key(uint(key.code), key.press);
    // A connection that ended as it was written to took nothing: the paste is not claimed.
    if (!eis_->ready() && failure_.isEmpty())
        failure_ = QStringLiteral("the compositor's input connection ended while it was typed");
    if (!std::exchange(eisTyped_, true))
        qCInfo(lcInput, "typing through the compositor's EIS connection");
}

void RemoteDesktopSession::forgetSession() {
    dropEis();
    // Chords waiting for the connection fail now, each with why.
    if (parkedForEis_)
        QMetaObject::invokeMethod(this, &RemoteDesktopSession::resumeForEis, Qt::QueuedConnection);
    if (!session_.isEmpty())
        bus_.disconnect(Portal::service, session_, Portal::sessionInterface,
                        QStringLiteral("Closed"), this, SLOT(closed(QDBusMessage)));
    state_ = State::idle;
    session_.clear();
    backendWatcher_->setWatchedServices({});
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

void RemoteDesktopSession::type(Keys keys, Typed typed) {
    chords_.push_back({std::move(keys), {}, std::move(typed), std::chrono::steady_clock::now()});
    if (!sending_) {
        sending_ = true;
        sendNext();
    }
}

void RemoteDesktopSession::cancel() {
    // The chord under way only releases what it pressed, and tells nobody; the others go. Between
    // chords, while the compositor is awaited, none is under way.
    if (inFlight_) {
        chords_.erase(chords_.begin() + 1, chords_.end());
        chords_.front().typed = nullptr;
        releasePressed();
    } else {
        chords_.clear();
        if (std::exchange(parkedForEis_, false)) {
            eisWait_->stop();
            sending_ = false;
        }
    }
}

void RemoteDesktopSession::sendNext() {
    // Chords that fail before their first key fail here, one after another, not one inside the
    // other: a flood of them must not grow the stack.
    while (!chords_.empty()) {
        Chord& chord = chords_.front();
        const auto waited = std::chrono::steady_clock::now() - chord.asked;
        if (chord.make && state_ == State::started && waitsForEis() && waited < stale) {
            parkedForEis_ = true;
            eisWait_->start(
                int(std::chrono::ceil<std::chrono::milliseconds>(stale - waited).count()));
            return;
        }
        // A chord begins: whether it may be typed, and its keys, are decided now. Once begun,
        // only its releases may replace what is left of it.
        if (const Keys make = std::exchange(chord.make, nullptr)) {
            if (state_ != State::started)
                failure_ = QStringLiteral("no typing session with the desktop");
            else if (waited > stale || waitsForEis())
                failure_ = QStringLiteral("the desktop portal took too long; typed now, the "
                                          "paste would land wherever the focus has gone since");
            else
                chord.keys = make();
            // EIS takes keycodes only, and the keymap that names them has not arrived yet.
            if (eis_ && std::ranges::any_of(chord.keys, &Key::symbol)) {
                chord.keys.clear();
                failure_ = QStringLiteral("the compositor's keymap is not known yet");
            }
            // Keys still down after a portal that stopped answering go up before anything new
            // goes down: a stalled portal gets no chord while it holds one unreleased, and it
            // holds at most that one when it wakes.
            if (!chord.keys.empty() && !pressed_.empty()) {
                std::vector<Key> keys = releases();
                keys.insert(keys.end(), chord.keys.begin(), chord.keys.end());
                chord.keys = std::move(keys);
            }
        }
        if (next_ < chord.keys.size()) {
            // EIS takes a key at once; the portal's call is awaited before the next key.
            const Key& key = chord.keys[next_++];
            if (!eis_)
                return sendKey(key);
            typeThroughEis(key);
            continue;
        }
        const Typed typed = std::move(chord.typed);
        const QString failure = std::exchange(failure_, {});
        chords_.pop_front();
        next_ = 0;
        if (typed)
            typed(failure);
        const bool throughPortal = !eis_;
        if (std::exchange(keysSent_, false) && (pace_ || eis_)) {
            // The next chord waits for the compositor to have read this one; through EIS, which
            // the compositor reads itself, it may go while the one before is read, one at most.
            if (compositorAsked_) {
                unconfirmed_ = awaitingCompositor_ = true;
                return;
            }
            awaitingCompositor_ = throughPortal;
            askCompositor();
            if (throughPortal)
                return;
        }
    }
    sending_ = false;
}

void RemoteDesktopSession::askCompositor() {
    compositorAsked_ = true;
    askedEis_ = eis_ != nullptr;
    const auto answered = [self = QPointer(this), asked = ++asked_] {
        if (!self || asked != self->asked_)
            return;
        self->compositorAsked_ = false;
        if (std::exchange(self->unconfirmed_, false))
            self->askCompositor();
        if (std::exchange(self->awaitingCompositor_, false))
            self->sendNext();
    };
    // The EIS connection's own ping says the compositor has read the keys sent through it.
    if (eis_)
        eis_->ping(answered);
    else if (pace_)
        pace_(answered);
    else
        answered();
}

XkbKeys* RemoteDesktopSession::eisKeys() const {
    return eis_ ? eis_->keys() : nullptr;
}

void RemoteDesktopSession::sendKey(const Key& key) {
    keysSent_ = true;
    if (key.press)
        pressed_.push_back(key);
    inFlight_ = new QDBusPendingCallWatcher(bus_.asyncCall(notify(key), keyTimeoutMs), this);
    connect(inFlight_, &QDBusPendingCallWatcher::finished, this, [this, key, watcher = inFlight_] {
        inFlight_ = nullptr;
        const QDBusError error = watcher->error();
        watcher->deleteLater();
        // A release the portal never answered may still be stuck in it: the key counts as down
        // until a release is answered.
        const bool unanswered =
            error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout;
        if (!key.press && !unanswered)
            released(key);
        // After a failure only releases are left, and their own failures change nothing.
        if (error.isValid() && failure_.isEmpty()) {
            failure_ = QStringLiteral("the desktop portal did not take the keystroke (%1)")
                           .arg(error.message());
            releasePressed();
        }
        sendNext();
    });
}

void RemoteDesktopSession::released(const Key& key) {
    std::erase_if(pressed_,
                  [&](const Key& k) { return k.code == key.code && k.symbol == key.symbol; });
}

// What is left of the chord becomes the release of every key it pressed, last pressed first.
void RemoteDesktopSession::releasePressed() {
    chords_.front().keys = releases();
    next_ = 0;
}

std::vector<RemoteDesktopSession::Key> RemoteDesktopSession::releases() const {
    std::vector<Key> keys;
    for (auto key = pressed_.rbegin(); key != pressed_.rend(); ++key)
        keys.push_back({key->symbol, key->code, false});
    return keys;
}
