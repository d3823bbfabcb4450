#include "PortalAccessibilityTrust.h"

#include "RemoteDesktopSession.h"

PortalAccessibilityTrust::PortalAccessibilityTrust(std::shared_ptr<RemoteDesktopSession> session)
    : session_(std::move(session)) {}

bool PortalAccessibilityTrust::isProcessTrusted(bool prompt) {
    if (session_->isStarted())
        return true;
    if (prompt)
        session_->start();
    return false;
}
