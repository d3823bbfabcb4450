#include "DBusNotifyCenter.h"

#include <QDBusMessage>
#include <QLoggingCategory>
#include <algorithm>

namespace {
Q_LOGGING_CATEGORY(lcBus, "kelmo.bus", QtInfoMsg)
} // namespace

NotifyCenter& darwinNotifyCenter() {
    // Lives as long as the process, like the manager that holds on to it.
    static auto* const center = new DBusNotifyCenter(QDBusConnection::sessionBus());
    return *center;
}

DBusNotifyCenter::DBusNotifyCenter(QDBusConnection connection)
    : connection_(std::move(connection)) {}

DBusNotifyCenter::~DBusNotifyCenter() {
    while (!observers_.empty())
        removeEveryObserver(observers_.front().observer);
}

void DBusNotifyCenter::addObserver(void* observer, NotifyCallback callback, const QString& name) {
    const auto sameObserver = [&](const Observer& o) {
        return o.observer == observer && o.name == name;
    };
    if (const auto it = std::find_if(observers_.begin(), observers_.end(), sameObserver);
        it != observers_.end()) {
        it->callback = callback;
        return;
    }
    const bool firstForName =
        std::none_of(observers_.begin(), observers_.end(), [&](auto& o) { return o.name == name; });
    if (firstForName && !subscribe(name)) {
        qCWarning(lcBus).noquote()
            << "cannot observe" << (name.isEmpty() ? QStringLiteral("every name") : name)
            << "on the bus:" << connection_.lastError().message();
        return;
    }
    observers_.push_back({observer, callback, name});
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
        unsubscribe(name);
}

void DBusNotifyCenter::postNotification(const QString& name, const QVariantMap*) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(path), QString::fromLatin1(interface), QString::fromLatin1(member));
    signal << name;
    connection_.send(signal);
}

void DBusNotifyCenter::flush() {
    // Messages leave a connection in order: once the daemon has answered this call, it has
    // received every signal queued before it.
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    connection_.call(ping, QDBus::Block);
}

bool DBusNotifyCenter::subscribe(const QString& name) {
    const QStringList match = name.isEmpty() ? QStringList() : QStringList{name};
    return connection_.connect(QString(), QString::fromLatin1(path), QString::fromLatin1(interface),
                               QString::fromLatin1(member), match, QString(), this,
                               name.isEmpty() ? SLOT(onAnyPost(QString))
                                              : SLOT(onNamedPost(QString)));
}

void DBusNotifyCenter::unsubscribe(const QString& name) {
    const QStringList match = name.isEmpty() ? QStringList() : QStringList{name};
    connection_.disconnect(QString(), QString::fromLatin1(path), QString::fromLatin1(interface),
                           QString::fromLatin1(member), match, QString(), this,
                           name.isEmpty() ? SLOT(onAnyPost(QString)) : SLOT(onNamedPost(QString)));
}

void DBusNotifyCenter::onNamedPost(const QString& name) {
    deliver(name, false);
}

void DBusNotifyCenter::onAnyPost(const QString& name) {
    deliver(name, true);
}

void DBusNotifyCenter::deliver(const QString& name, bool toEveryNameObservers) {
    // A callback may add observers; walk a copy.
    const std::vector<Observer> observers = observers_;
    for (const Observer& o : observers) {
        const bool wanted = toEveryNameObservers ? o.name.isEmpty() : o.name == name;
        if (wanted && !name.isEmpty())
            o.callback(this, o.observer, name, nullptr, nullptr);
    }
}
