#include "CGEventKeyboard.h"

#include <ApplicationServices/ApplicationServices.h>

std::optional<KeyboardEvent> CGEventKeyboard::createKeyboardEvent(std::uint16_t virtualKey,
                                                                  bool keyDown, QString& whyNot) {
    CGEventRef event = CGEventCreateKeyboardEvent(nullptr, virtualKey, keyDown);
    if (!event) {
        whyNot = QStringLiteral("the system could not create a keyboard event");
        return std::nullopt;
    }
    return KeyboardEvent{
        virtualKey, keyDown,
        0,          virtualKey,
        0,          std::shared_ptr<const void>(event, [](const void* e) { CFRelease(e); })};
}

const void* CGEventKeyboard::preparedEvent(const KeyboardEvent& event) {
    auto* cgEvent = static_cast<CGEventRef>(const_cast<void*>(event.platformEvent.get()));
    CGEventSetFlags(cgEvent, CGEventFlags(event.flags));
    return cgEvent;
}

void CGEventKeyboard::postEvents(int tap, std::span<const KeyboardEvent> events, Posted posted) {
    for (const KeyboardEvent& event : events)
        CGEventPost(CGEventTapLocation(tap),
                    static_cast<CGEventRef>(const_cast<void*>(preparedEvent(event))));
    posted({});
}
