#pragma once

#include "DBusNotifyCenter.h"

#include <QHash>
#include <QStringList>
#include <functional>

// Plays the other side of the conversation from inside the test: observes names, records what
// arrives, posts, and may react to an arrival at once.
class BusPeer {
public:
    explicit BusPeer(const QDBusConnection& connection);
    ~BusPeer();
    BusPeer(const BusPeer&) = delete;
    BusPeer& operator=(const BusPeer&) = delete;

    // Observes `names`; returns once the bus daemon has the match rules.
    bool observe(const QStringList& names);
    void onArrival(const QString& name, std::function<void()> reaction);
    // Posts `name` `times` times, then returns once the bus daemon has every post.
    void post(const QString& name, int times = 1);
    bool waitFor(const QString& name, qsizetype count = 1, int timeoutMs = 10000);
    qsizetype count(const QString& name) const { return received_.count(name); }
    QStringList received() const { return received_; }

private:
    static void arrived(NotifyCenter*, void* observer, const QString& name, const void*,
                        const QVariantMap*);

    DBusNotifyCenter center_;
    QStringList received_;
    QHash<QString, std::function<void()>> reactions_;
};
