#pragma once

#include "AccessibilityTrust.h"

#include <memory>

class ShellExtension;

// On GNOME the agent may type while its Shell extension is switched on and answers. Asking
// switches it on; the answer follows at the next question.
class ShellExtensionTrust final : public AccessibilityTrust {
public:
    explicit ShellExtensionTrust(std::shared_ptr<ShellExtension> extension);
    bool isProcessTrusted(bool prompt) override;

private:
    std::shared_ptr<ShellExtension> extension_;
};
