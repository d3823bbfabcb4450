#pragma once

#include "AccessibilityTrust.h"

class XcbDisplay;

// Trusted when the display in DISPLAY opens and offers XTEST. X has no permission prompt, so
// the prompt becomes one line on standard error that says what is missing.
class XTestAccessibilityTrust final : public AccessibilityTrust {
public:
    explicit XTestAccessibilityTrust(XcbDisplay& display);
    bool isProcessTrusted(bool prompt) override;

private:
    XcbDisplay& display_;
};
