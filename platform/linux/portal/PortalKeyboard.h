#pragma once

#include "KeyboardEvents.h"
#include "RemoteDesktopSession.h"

#include <memory>
#include <vector>

class KWinActiveWindow;
class PasteChords;
struct PasteChord;
class WaylandKeymap;
class XkbKeys;

// Keystrokes through the desktop portal's RemoteDesktop session. The platform's paste
// (Command+V) becomes the chord the active application takes (where the desktop says which one
// that is), and the V key is the compositor's key that gives "v" in the active layout,
// else in another layout of its keymap, else the key at the V position, sent as keycodes; before
// the keymap is known, the compositor resolves the keysyms itself.
class PortalKeyboard final : public KeyboardEventPoster {
public:
    PortalKeyboard(std::shared_ptr<RemoteDesktopSession> session,
                   std::shared_ptr<WaylandKeymap> keymap, std::shared_ptr<KWinActiveWindow> active,
                   std::shared_ptr<PasteChords> chords);

    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t virtualKey, bool keyDown,
                                                     QString& whyNot) override;
    void postEvents(int tap, std::span<const KeyboardEvent> events, Posted posted) override;
    void cancelPending() override;

private:
    static std::vector<RemoteDesktopSession::Key> keysOf(WaylandKeymap& keymap, XkbKeys* eisKeys,
                                                         const PasteChord& chord,
                                                         const std::vector<KeyboardEvent>& events);

    std::shared_ptr<RemoteDesktopSession> session_;
    std::shared_ptr<WaylandKeymap> keymap_;
    std::shared_ptr<KWinActiveWindow> active_;
    std::shared_ptr<PasteChords> chords_;
};
