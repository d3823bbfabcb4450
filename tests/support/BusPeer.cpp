#include "BusPeer.h"

#include <QTest>

BusPeer::BusPeer(const QDBusConnection& connection)
    : center_(connection) {}

BusPeer::~BusPeer() {
    center_.removeEveryObserver(this);
}

bool BusPeer::observe(const QStringList& names) {
    for (const QString& name : names)
        if (!center_.addObserver(this, &BusPeer::arrived, name))
            return false;
    center_.flush();
    return true;
}

void BusPeer::onArrival(const QString& name, std::function<void()> reaction) {
    reactions_.insert(name, std::move(reaction));
}

void BusPeer::post(const QString& name, int times) {
    for (int i = 0; i < times; ++i)
        center_.postNotification(name, nullptr);
    center_.flush();
}

bool BusPeer::waitFor(const QString& name, qsizetype count, int timeoutMs) {
    return QTest::qWaitFor([&] { return received_.count(name) >= count; }, timeoutMs);
}

void BusPeer::arrived(NotifyCenter*, void* observer, const QString& name, const void*,
                      const QVariantMap*) {
    auto* self = static_cast<BusPeer*>(observer);
    self->received_ << name;
    if (const auto reaction = self->reactions_.value(name))
        reaction();
}
