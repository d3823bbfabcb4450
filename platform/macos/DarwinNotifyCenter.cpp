#include "DarwinNotifyCenter.h"

#include <CoreFoundation/CoreFoundation.h>
#include <algorithm>

namespace {
DarwinNotifyCenter& theCenter() {
    static auto* const center = new DarwinNotifyCenter;
    return *center;
}

// CoreFoundation calls this on the main run loop, which Qt's event loop runs on macOS.
// The Darwin center's object and user info mean nothing and are not passed on.
void trampoline(CFNotificationCenterRef, void* observer, CFNotificationName name, const void*,
                CFDictionaryRef) {
    if (const NotifyCallback callback = theCenter().callbackFor(observer))
        callback(&theCenter(), observer, QString::fromCFString(name), nullptr, nullptr);
}
} // namespace

NotifyCenter& darwinNotifyCenter() {
    return theCenter();
}

NotifyCallback DarwinNotifyCenter::callbackFor(void* observer) const {
    const auto it = std::find_if(observers_.begin(), observers_.end(),
                                 [&](const Observer& o) { return o.observer == observer; });
    return it == observers_.end() ? nullptr : it->callback;
}

bool DarwinNotifyCenter::addObserver(void* observer, NotifyCallback callback, const QString& name) {
    const auto it = std::find_if(observers_.begin(), observers_.end(),
                                 [&](const Observer& o) { return o.observer == observer; });
    if (it == observers_.end())
        observers_.push_back({observer, callback});
    else
        it->callback = callback;
    const CFStringRef cfName = name.toCFString();
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), observer,
                                    trampoline, cfName, nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    CFRelease(cfName);
    // The Darwin center reports no failure.
    return true;
}

void DarwinNotifyCenter::removeEveryObserver(void* observer) {
    CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDarwinNotifyCenter(), observer);
    std::erase_if(observers_, [&](const Observer& o) { return o.observer == observer; });
}

void DarwinNotifyCenter::postNotification(const QString& name, const QVariantMap*) {
    // The Darwin center carries the name alone; a dictionary would never reach anyone.
    const CFStringRef cfName = name.toCFString();
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(), cfName,
                                         nullptr, nullptr, true);
    CFRelease(cfName);
}
