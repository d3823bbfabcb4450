#pragma once

#include <QString>
#include <QVariantMap>

class NotifyCenter;

// Shape of the platform's notify-center callback: center, observer, name, object, user info.
// Only the name ever carries anything; the others are passed through as the platform gives them.
using NotifyCallback = void (*)(NotifyCenter* center, void* observer, const QString& name,
                                const void* object, const QVariantMap* userInfo);

// A machine-wide (on Linux: session-wide) broadcast of bare notification names.
class NotifyCenter {
public:
    NotifyCenter() = default;
    NotifyCenter(const NotifyCenter&) = delete;
    NotifyCenter& operator=(const NotifyCenter&) = delete;
    virtual ~NotifyCenter() = default;

    // From now on every post of `name`, by any process, this one included, calls `callback` with
    // `observer` on the main thread. Adding the same observer and name again changes nothing.
    // False when the center refused the subscription: then no post of `name` will arrive.
    [[nodiscard]] virtual bool addObserver(void* observer, NotifyCallback callback,
                                           const QString& name) = 0;
    virtual void removeEveryObserver(void* observer) = 0;
    // Fire-and-forget: returns at once, with no word on whether anybody observed.
    virtual void postNotification(const QString& name, const QVariantMap* userInfo) = 0;
    // Returns once every post made so far has left this process. A process that exits right
    // after a post calls it, or the post may die in an output buffer.
    virtual void flush() = 0;
};

// The process's one notify center, provided by the platform layer (or by a test's fake).
NotifyCenter& darwinNotifyCenter();
