#include "BusRunningApplications.h"

#include <QDBusMessage>

namespace {
constexpr int answerTimeoutMs = 5000;
} // namespace

BusRunningApplications::BusRunningApplications(QDBusConnection connection)
    : connection_(std::move(connection)) {}

std::optional<bool> BusRunningApplications::hasOwner(const QString& bundleIdentifier) {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << bundleIdentifier;
    const QDBusMessage answer = connection_.call(ask, QDBus::Block, answerTimeoutMs);
    if (answer.type() != QDBusMessage::ReplyMessage)
        return std::nullopt;
    return answer.arguments().value(0).toBool();
}

bool BusRunningApplications::isRunning(const QString& bundleIdentifier) {
    return hasOwner(bundleIdentifier).value_or(false);
}

bool BusRunningApplications::isKnownNotRunning(const QString& bundleIdentifier) {
    return !hasOwner(bundleIdentifier).value_or(true);
}
