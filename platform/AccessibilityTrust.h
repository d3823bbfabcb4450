#pragma once

// Whether this process may send keystrokes to other applications.
class AccessibilityTrust {
public:
    AccessibilityTrust() = default;
    AccessibilityTrust(const AccessibilityTrust&) = delete;
    AccessibilityTrust& operator=(const AccessibilityTrust&) = delete;
    virtual ~AccessibilityTrust() = default;

    // With `prompt` and no trust, the user is asked (or told) how to grant it; returns at once.
    virtual bool isProcessTrusted(bool prompt) = 0;
};
