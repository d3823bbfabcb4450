#include "DBusNotifyCenter.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QLoggingCategory>
#include <algorithm>
#include <dbus/dbus.h>

namespace {
Q_LOGGING_CATEGORY(lcBus, "kelmo.bus", QtInfoMsg)
constexpr int flushTimeoutMs = 2000;

// Centers alive on the main thread. The filter runs on Qt's bus thread and must not touch a
// center that may be gone by the time its delivery runs.
std::vector<DBusNotifyCenter*>& liveCenters() {
    static std::vector<DBusNotifyCenter*> centers;
    return centers;
}

// The bus daemon's limit (DBUS_MAXIMUM_MATCH_RULE_LENGTH).
constexpr qsizetype maximumMatchRuleBytes = 1024;
constexpr int matchTimeoutMs = 5000;

QString quotedForMatchRule(QString value) {
    return QLatin1Char('\'') + value.replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
           QLatin1Char('\'');
}

QString matchRule(const QString& name) {
    QString rule =
        QStringLiteral("type='signal',path='%1',interface='%2',member='%3'")
            .arg(QLatin1String(DBusNotifyCenter::path), QLatin1String(DBusNotifyCenter::interface),
                 QLatin1String(DBusNotifyCenter::member));
    if (!name.isEmpty())
        rule += QStringLiteral(",arg0=") + quotedForMatchRule(name);
    return rule;
}

DBusConnection* libdbusConnection(const QDBusConnection& connection) {
    return static_cast<DBusConnection*>(connection.internalPointer());
}
} // namespace

// Reads posts off the connection with libdbus, which shows what Qt hides: whether the signal was
// sent to this process alone, and its exact signature.
struct PostFilter {
    static DBusHandlerResult filter(DBusConnection*, DBusMessage* message, void* center) {
        if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_SIGNAL ||
            !dbus_message_has_member(message, DBusNotifyCenter::member) ||
            !dbus_message_has_interface(message, DBusNotifyCenter::interface) ||
            !dbus_message_has_path(message, DBusNotifyCenter::path))
            return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        // A post is a broadcast of one string. A signal addressed to this process, or one that
        // carries more, is not a post, whatever it is called.
        const char* name = nullptr;
        if (dbus_message_get_destination(message) || !dbus_message_has_signature(message, "s") ||
            !dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID))
            return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [center, posted = QString::fromUtf8(name)] {
                const auto& live = liveCenters();
                if (std::find(live.begin(), live.end(), center) != live.end())
                    static_cast<DBusNotifyCenter*>(center)->deliver(posted);
            },
            Qt::QueuedConnection);
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
};

NotifyCenter& darwinNotifyCenter() {
    // Lives as long as the process, like the manager that holds on to it.
    static auto* const center = new DBusNotifyCenter(QDBusConnection::sessionBus());
    return *center;
}

DBusNotifyCenter::DBusNotifyCenter(QDBusConnection connection)
    : connection_(std::move(connection)) {
    liveCenters().push_back(this);
    if (DBusConnection* bus = libdbusConnection(connection_))
        dbus_connection_add_filter(bus, &PostFilter::filter, this, nullptr);
}

DBusNotifyCenter::~DBusNotifyCenter() {
    while (!observers_.empty())
        removeEveryObserver(observers_.front().observer);
    if (DBusConnection* bus = libdbusConnection(connection_))
        dbus_connection_remove_filter(bus, &PostFilter::filter, this);
    std::erase(liveCenters(), this);
}

bool DBusNotifyCenter::addObserver(void* observer, NotifyCallback callback, const QString& name) {
    const auto sameObserver = [&](const Observer& o) {
        return o.observer == observer && o.name == name;
    };
    if (const auto it = std::find_if(observers_.begin(), observers_.end(), sameObserver);
        it != observers_.end()) {
        it->callback = callback;
        return true;
    }
    const bool firstForName =
        std::none_of(observers_.begin(), observers_.end(), [&](auto& o) { return o.name == name; });
    if (firstForName && !changeMatch("AddMatch", name))
        return false;
    observers_.push_back({observer, callback, name});
    return true;
}

void DBusNotifyCenter::removeEveryObserver(void* observer) {
    std::vector<QString> released;
    for (auto it = observers_.begin(); it != observers_.end();) {
        if (it->observer != observer) {
            ++it;
            continue;
        }
        const QString name = it->name;
        it = observers_.erase(it);
        if (std::none_of(observers_.begin(), observers_.end(),
                         [&](auto& o) { return o.name == name; }))
            released.push_back(name);
    }
    for (const QString& name : released)
        changeMatch("RemoveMatch", name);
}

void DBusNotifyCenter::postNotification(const QString& name, const QVariantMap*) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(path), QString::fromLatin1(interface), QString::fromLatin1(member));
    signal << name;
    connection_.send(signal);
}

void DBusNotifyCenter::flush() {
    [[maybe_unused]] const bool answered = flushed();
}

bool DBusNotifyCenter::flushed() {
    // Messages leave a connection in order: once the daemon has answered this call, it has
    // received every signal queued before it.
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    // A stalled daemon must not hold the process's end for the default 25 s.
    return connection_.call(ping, QDBus::Block, flushTimeoutMs).type() ==
           QDBusMessage::ReplyMessage;
}

bool DBusNotifyCenter::isObservable(const QString& name) {
    return matchRule(name).toUtf8().size() <= maximumMatchRuleBytes;
}

bool DBusNotifyCenter::changeMatch(const char* method, const QString& name) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QString::fromLatin1(method));
    call << matchRule(name);
    // A stalled daemon gets as long as a flush, not the default 25 s a subscription.
    const QDBusMessage reply = connection_.call(call, QDBus::Block, matchTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    const QString shown = name.isEmpty()     ? QStringLiteral("every name")
                          : name.size() > 80 ? name.left(80) + QStringLiteral("…")
                                             : name;
    qCWarning(lcBus).noquote() << "cannot" << (*method == 'A' ? "observe" : "stop observing")
                               << shown << "on the bus:" << reply.errorMessage().left(200);
    return false;
}

void DBusNotifyCenter::deliver(const QString& name) {
    if (name.isEmpty())
        return;
    // A callback may add or remove observers: walk a copy, and skip whoever has left meanwhile.
    const std::vector<Observer> observers = observers_;
    for (const Observer& o : observers) {
        const auto stillThere = [&](const Observer& now) {
            return now.observer == o.observer && now.name == o.name;
        };
        if ((o.name.isEmpty() || o.name == name) &&
            std::any_of(observers_.begin(), observers_.end(), stillThere))
            o.callback(this, o.observer, name, nullptr, nullptr);
    }
}
