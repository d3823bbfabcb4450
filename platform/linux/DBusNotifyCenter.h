#pragma once

#include "NotifyCenter.h"

#include <QDBusConnection>
#include <QObject>
#include <vector>

// The notify center on the session bus. A post of N is the broadcast signal
// /co/ambertide/Notify co.ambertide.Notify.Post(string N); observing N is a match rule with
// arg0='N', so the bus daemon sends each process only the names it observes.
class DBusNotifyCenter final : public QObject, public NotifyCenter {
    Q_OBJECT
public:
    static constexpr char path[] = "/co/ambertide/Notify";
    static constexpr char interface[] = "co.ambertide.Notify";
    static constexpr char member[] = "Post";

    explicit DBusNotifyCenter(QDBusConnection connection);
    ~DBusNotifyCenter() override;

    // An empty name observes every name (for the command-line peer; the agent never does).
    bool addObserver(void* observer, NotifyCallback callback, const QString& name) override;
    void removeEveryObserver(void* observer) override;
    void postNotification(const QString& name, const QVariantMap* userInfo) override;
    void flush() override;
    // Flushes, and says whether the daemon answered in time: false when the posts may not have
    // reached it.
    [[nodiscard]] bool flushed();
    // Whether a name is short enough to be observed: a match rule holds 1024 bytes at most.
    static bool isObservable(const QString& name);

private:
    struct Observer {
        void* observer;
        NotifyCallback callback;
        QString name;
    };
    friend struct PostFilter;
    bool changeMatch(const char* method, const QString& name);
    void deliver(const QString& name);

    QDBusConnection connection_;
    std::vector<Observer> observers_;
};
