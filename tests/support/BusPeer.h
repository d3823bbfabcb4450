#pragma once

#include "DBusNotifyCenter.h"

#include <QAnyStringView>
#include <QHash>
#include <QStringList>
#include <QTest>
#include <functional>

// The other side of the conversation, in the test: observes, records, posts, may react at once.
class BusPeer {
public:
    explicit BusPeer(const QDBusConnection& connection)
        : center_(connection) {}
    ~BusPeer() { center_.removeEveryObserver(this); }

    // Observes `names`; returns once the bus daemon has the match rules.
    bool observe(std::initializer_list<QAnyStringView> names) {
        for (const QAnyStringView name : names)
            if (!center_.addObserver(this, &BusPeer::arrived, name.toString()))
                return false;
        return center_.flush(), true;
    }
    void onArrival(QAnyStringView name, std::function<void()> reaction) {
        reactions_.insert(name.toString(), std::move(reaction));
    }
    // Posts `name` `times` times, then returns once the bus daemon has every post.
    void post(QAnyStringView name, int times = 1) {
        for (int i = 0; i < times; ++i)
            center_.postNotification(name.toString(), nullptr);
        center_.flush();
    }
    bool waitFor(QAnyStringView name, qsizetype count = 1, int timeoutMs = 10000) {
        return QTest::qWaitFor([&] { return this->count(name) >= count; }, timeoutMs);
    }
    qsizetype count(QAnyStringView name) const { return received_.count(name.toString()); }
    QStringList received() const { return received_; }

private:
    static void arrived(NotifyCenter*, void* observer, const QString& name, const void*,
                        const QVariantMap*) {
        auto* self = static_cast<BusPeer*>(observer);
        self->received_ << name;
        if (const auto reaction = self->reactions_.value(name))
            reaction();
    }

    DBusNotifyCenter center_;
    QStringList received_;
    QHash<QString, std::function<void()>> reactions_;
};
