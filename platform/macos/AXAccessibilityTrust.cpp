#include "AXAccessibilityTrust.h"

#include <ApplicationServices/ApplicationServices.h>

bool AXAccessibilityTrust::isProcessTrusted(bool prompt) {
    const void* keys[] = {kAXTrustedCheckOptionPrompt};
    const void* values[] = {prompt ? kCFBooleanTrue : kCFBooleanFalse};
    const CFDictionaryRef options =
        CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                           &kCFCopyStringDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    const bool trusted = AXIsProcessTrustedWithOptions(options);
    if (options)
        CFRelease(options);
    return trusted;
}
