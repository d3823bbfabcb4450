#pragma once

#include "NotifyCenter.h"

#include <QList>
#include <QSet>
#include <QStringList>

// Stands in for the platform's notify center in tests without a bus: records what is asked of it,
// subscriptions and posts in one sequence, refuses the names it is told to, and delivers by hand.
class RecordingCenter final : public NotifyCenter {
public:
    bool addObserver(void* observer, NotifyCallback callback, const QString& name) override {
        log << QStringLiteral("observe ") + name;
        if (refused.contains(name))
            return false;
        subscriptions << Subscription{observer, callback, name};
        return true;
    }
    void removeEveryObserver(void* observer) override {
        subscriptions.removeIf([&](const Subscription& s) { return s.observer == observer; });
    }
    void postNotification(const QString& name, const QVariantMap*) override {
        log << QStringLiteral("post ") + name;
    }
    void flush() override {}

    // What the platform does when `name` is posted somewhere on the machine.
    void deliver(const QString& name) {
        for (const Subscription& s : QList<Subscription>(subscriptions))
            if (s.name == name)
                s.callback(this, s.observer, name, nullptr, nullptr);
    }
    void reset() {
        log.clear();
        refused.clear();
        subscriptions.clear();
    }

    QStringList log;
    QSet<QString> refused;

private:
    struct Subscription {
        void* observer;
        NotifyCallback callback;
        QString name;
    };
    QList<Subscription> subscriptions;
};

// The process's one center in a test linked with RecordingCenter.cpp; the manager's shared
// instance uses it.
RecordingCenter& recordingCenter();
