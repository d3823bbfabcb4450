#pragma once

#include <QHash>
#include <QLoggingCategory>
#include <QString>
#include <QVariantMap>
#include <functional>

class NotifyCenter;

Q_DECLARE_LOGGING_CATEGORY(lcNotifications)

// Maps notification names to blocks and runs the block of each name the notify center delivers.
// Every process uses the one instance that sharedInstance() gives; other instances exist only in
// tests.
class DarwinNotificationsManager {
public:
    using Block = std::function<void()>;

    static DarwinNotificationsManager& sharedInstance();

    explicit DarwinNotificationsManager(NotifyCenter& center);
    DarwinNotificationsManager(const DarwinNotificationsManager&) = delete;
    DarwinNotificationsManager& operator=(const DarwinNotificationsManager&) = delete;
    ~DarwinNotificationsManager();

    // Stores `callback` for `name`, replacing an earlier one, and subscribes at the center. False
    // when the center refused: the block is stored, but no post of `name` will reach it.
    [[nodiscard]] bool registerForNotificationName(const QString& name, Block callback);
    void postNotificationWithName(const QString& name);
    // The center carries the name alone; the dictionary never reaches an observer.
    void postNotificationWithName(const QString& name, const QVariantMap* userInfo);
    void notificationCallbackReceivedWithName(const QString& name);

    static void darwinNotificationCallback(NotifyCenter* center, void* observer,
                                           const QString& name, const void* object,
                                           const QVariantMap* userInfo);

private:
    NotifyCenter& center_;
    QHash<QString, Block> handlers;
};
