#include "AgentPlatform.h"
#include "BusRunningApplications.h"
#include "NotificationNames.h"
#include "XTestAccessibilityTrust.h"
#include "XTestKeyboard.h"
#include "XcbDisplay.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>

void prepareAgentProcess() {}

std::optional<AgentPlatform> makeAgentPlatform(QString& whyNot) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        whyNot =
            QStringLiteral("cannot connect to the session bus: %1").arg(bus.lastError().message());
        return std::nullopt;
    }
    // Owning the name first makes sure one agent at most carries out each command.
    const QString helperId = QString::fromLatin1(BundleIdentifier::helper);
    if (bus.interface()
            ->registerService(helperId, QDBusConnectionInterface::DontQueueService,
                              QDBusConnectionInterface::DontAllowReplacement)
            .value() != QDBusConnectionInterface::ServiceRegistered) {
        whyNot = QStringLiteral("another agent already runs (it owns %1 on the session bus); "
                                "this one exits")
                     .arg(helperId);
        return std::nullopt;
    }
    auto display = std::make_shared<XcbDisplay>();
    return AgentPlatform{std::make_unique<BusRunningApplications>(bus),
                         std::make_unique<XTestKeyboard>(display),
                         std::make_unique<XTestAccessibilityTrust>(display)};
}
