#include "XTestAccessibilityTrust.h"

#include "SystemLog.h"
#include "XcbDisplay.h"

XTestAccessibilityTrust::XTestAccessibilityTrust(std::shared_ptr<XcbDisplay> display)
    : display_(std::move(display)) {}

bool XTestAccessibilityTrust::isProcessTrusted(bool prompt) {
    const bool trusted = display_->connection() && display_->hasXTest();
    if (!trusted && prompt)
        SystemLog::printErrorLine(
            QStringLiteral("cannot send keystrokes: %1. Start the helper inside your X session "
                           "(DISPLAY must name it) on an X server with the XTEST extension.")
                .arg(display_->lastError()));
    return trusted;
}
