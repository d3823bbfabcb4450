#pragma once

#include "AccessibilityTrust.h"

#include <memory>

class RemoteDesktopSession;

// Trusted while a RemoteDesktop session with the keyboard is started. Asking with a prompt starts
// one when there is none; the portal may show its dialog, and the answer comes later, as on the
// platform the helper was designed for.
class PortalAccessibilityTrust final : public AccessibilityTrust {
public:
    explicit PortalAccessibilityTrust(std::shared_ptr<RemoteDesktopSession> session);
    bool isProcessTrusted(bool prompt) override;

private:
    std::shared_ptr<RemoteDesktopSession> session_;
};
