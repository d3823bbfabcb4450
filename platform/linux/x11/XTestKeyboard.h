#pragma once

#include "KeyboardEvents.h"

#include <memory>

class PasteChords;
class X11FocusedApplication;
class XcbDisplay;

// Keystrokes through the XTEST extension. The platform's paste (Command+V) becomes the chord the
// active application takes for a paste (Control+V, or Control+Shift+V in a terminal, …), and the
// V key is whichever key gives "v" in the active layout (or, failing that, in another layout of
// the keymap, or the key at the V position), so that Dvorak, AZERTY and Russian users all get a
// paste and not Control+K or nothing.
class XTestKeyboard final : public KeyboardEventPoster {
public:
    XTestKeyboard(std::shared_ptr<XcbDisplay> display,
                  std::shared_ptr<X11FocusedApplication> focused,
                  std::shared_ptr<PasteChords> chords);

    // Everything that needs the X server's answer happens here, within its bounded wait, so that
    // posting only writes.
    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t virtualKey, bool keyDown,
                                                     QString& whyNot) override;
    void postEvents(int tap, std::span<const KeyboardEvent> events, Posted posted) override;

private:
    std::shared_ptr<XcbDisplay> display_;
    std::shared_ptr<X11FocusedApplication> focused_;
    std::shared_ptr<PasteChords> chords_;
};
