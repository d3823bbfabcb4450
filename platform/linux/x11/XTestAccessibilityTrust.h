#pragma once

#include "AccessibilityTrust.h"

#include <memory>

class XcbDisplay;

// Trusted when the display in DISPLAY opens and offers XTEST. X has no permission prompt, so
// the prompt becomes one line on standard error that says what is missing.
class XTestAccessibilityTrust final : public AccessibilityTrust {
public:
    explicit XTestAccessibilityTrust(std::shared_ptr<XcbDisplay> display);
    bool isProcessTrusted(bool prompt) override;

private:
    std::shared_ptr<XcbDisplay> display_;
};
