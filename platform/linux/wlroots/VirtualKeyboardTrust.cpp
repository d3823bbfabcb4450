#include "VirtualKeyboardTrust.h"

#include "SystemLog.h"
#include "WlrootsSession.h"

VirtualKeyboardTrust::VirtualKeyboardTrust(std::shared_ptr<WlrootsSession> session)
    : session_(std::move(session)) {}

bool VirtualKeyboardTrust::isProcessTrusted(bool prompt) {
    if (session_->ready() || (prompt && session_->open()))
        return true;
    if (prompt)
        SystemLog::printErrorLine(
            QStringLiteral("cannot send keystrokes: %1").arg(session_->lastError()));
    return false;
}
