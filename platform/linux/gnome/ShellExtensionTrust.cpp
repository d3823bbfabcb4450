#include "ShellExtensionTrust.h"

#include "ShellExtension.h"

ShellExtensionTrust::ShellExtensionTrust(std::shared_ptr<ShellExtension> extension)
    : extension_(std::move(extension)) {}

bool ShellExtensionTrust::isProcessTrusted(bool prompt) {
    const bool enabled = extension_->enabled();
    if (prompt && !enabled)
        extension_->enable();
    extension_->refresh();
    return enabled;
}
