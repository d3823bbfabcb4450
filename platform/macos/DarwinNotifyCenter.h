#pragma once

#include "NotifyCenter.h"

#include <vector>

// The machine-wide Darwin notify center of CoreFoundation.
class DarwinNotifyCenter final : public NotifyCenter {
public:
    bool addObserver(void* observer, NotifyCallback callback, const QString& name) override;
    void removeEveryObserver(void* observer) override;
    void postNotification(const QString& name, const QVariantMap* userInfo) override;
    // Darwin posts leave the process at once.
    void flush() override {}

    // The callback stored for `observer`, for the CoreFoundation trampoline.
    NotifyCallback callbackFor(void* observer) const;

private:
    struct Observer {
        void* observer;
        NotifyCallback callback;
    };
    std::vector<Observer> observers_;
};
