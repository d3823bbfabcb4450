#pragma once

#include "AccessibilityTrust.h"

// The Accessibility permission of System Settings; the prompt is the system's own.
class AXAccessibilityTrust final : public AccessibilityTrust {
public:
    bool isProcessTrusted(bool prompt) override;
};
