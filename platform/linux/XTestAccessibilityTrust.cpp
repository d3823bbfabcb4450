#include "XTestAccessibilityTrust.h"

#include "XcbDisplay.h"

#include <cstdio>

XTestAccessibilityTrust::XTestAccessibilityTrust(std::shared_ptr<XcbDisplay> display)
    : display_(std::move(display)) {}

bool XTestAccessibilityTrust::isProcessTrusted(bool prompt) {
    const bool trusted = display_->connection() && display_->hasXTest();
    if (!trusted && prompt)
        std::fprintf(stderr,
                     "Kelmo Helper: cannot send keystrokes: %s. Start the helper inside your X "
                     "session (DISPLAY must name it) on an X server with the XTEST extension.\n",
                     qUtf8Printable(display_->lastError()));
    return trusted;
}
