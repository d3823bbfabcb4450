#include "DarwinNotificationsManager.h"

#include "NotifyCenter.h"

#include <QDebug>

Q_LOGGING_CATEGORY(lcNotifications, "kelmo.notifications", QtInfoMsg)

DarwinNotificationsManager& DarwinNotificationsManager::sharedInstance() {
    // Never destroyed: blocks stored here may run until the very end of the process.
    static auto* const instance = new DarwinNotificationsManager(darwinNotifyCenter());
    return *instance;
}

DarwinNotificationsManager::DarwinNotificationsManager(NotifyCenter& center)
    : center_(center) {}

DarwinNotificationsManager::~DarwinNotificationsManager() {
    center_.removeEveryObserver(this);
}

bool DarwinNotificationsManager::registerForNotificationName(const QString& name, Block callback) {
    handlers.insert(name, std::move(callback));
    return center_.addObserver(this, &DarwinNotificationsManager::darwinNotificationCallback, name);
}

void DarwinNotificationsManager::postNotificationWithName(const QString& name) {
    center_.postNotification(name, nullptr);
}

void DarwinNotificationsManager::postNotificationWithName(const QString& name,
                                                          const QVariantMap* userInfo) {
    center_.postNotification(name, userInfo);
}

void DarwinNotificationsManager::notificationCallbackReceivedWithName(const QString& name) {
    // A copy, so that a block that registers again for its own name keeps running safely.
    const Block block = handlers.value(name);
    if (block)
        block();
}

void DarwinNotificationsManager::darwinNotificationCallback(NotifyCenter*, void*,
                                                            const QString& name, const void*,
                                                            const QVariantMap* userInfo) {
    // printf-style: a delivery sits on the paste path, and a stream costs more.
    qCInfo(lcNotifications, "name: %s", qUtf8Printable(name));
    if (userInfo)
        qCInfo(lcNotifications).noquote() << "userinfo:" << *userInfo;
    else
        qCInfo(lcNotifications, "userinfo: (null)");
    sharedInstance().notificationCallbackReceivedWithName(name);
}
