#pragma once

#include "AccessibilityTrust.h"

#include <memory>

class WlrootsSession;

// On wlroots compositors any client of the session may make a virtual keyboard: the agent is
// trusted while it has one. Asking makes one, with a compositor that may have come since.
class VirtualKeyboardTrust final : public AccessibilityTrust {
public:
    explicit VirtualKeyboardTrust(std::shared_ptr<WlrootsSession> session);
    bool isProcessTrusted(bool prompt) override;

private:
    std::shared_ptr<WlrootsSession> session_;
};
