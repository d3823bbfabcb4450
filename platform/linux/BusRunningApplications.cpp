#include "BusRunningApplications.h"

#include <QDBusMessage>

namespace {
constexpr int answerTimeoutMs = 5000;
} // namespace

BusRunningApplications::BusRunningApplications(QDBusConnection connection)
    : connection_(std::move(connection)) {}

bool BusRunningApplications::isRunning(const QString& bundleIdentifier) {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << bundleIdentifier;
    // A daemon that doesn't answer within the time allowed counts as knowing of no owner.
    const QDBusMessage answer = connection_.call(ask, QDBus::Block, answerTimeoutMs);
    return answer.type() == QDBusMessage::ReplyMessage && answer.arguments().value(0).toBool();
}
