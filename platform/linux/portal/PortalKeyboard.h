#pragma once

#include "KeyboardEvents.h"
#include "RemoteDesktopSession.h"

#include <memory>
#include <vector>

class WaylandKeymap;

// Keystrokes through the desktop portal's RemoteDesktop session. Control is pressed for the
// platform's Command, and the V key is the compositor's key that gives "v" in the active layout,
// else in another layout of its keymap, else the key at the V position, sent as keycodes; before
// the keymap is known, the compositor resolves the keysyms itself.
class PortalKeyboard final : public KeyboardEventPoster {
public:
    PortalKeyboard(std::shared_ptr<RemoteDesktopSession> session,
                   std::shared_ptr<WaylandKeymap> keymap);

    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t virtualKey, bool keyDown,
                                                     QString& whyNot) override;
    void postEvents(int tap, std::span<const KeyboardEvent> events, Posted posted) override;
    void cancelPending() override;

private:
    static std::vector<RemoteDesktopSession::Key> keysOf(WaylandKeymap& keymap,
                                                         const std::vector<KeyboardEvent>& events);

    std::shared_ptr<RemoteDesktopSession> session_;
    std::shared_ptr<WaylandKeymap> keymap_;
};
