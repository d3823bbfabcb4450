#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

struct xkb_context;
struct xkb_keymap;

// Which key of a keymap gives a keysym: at the first level, in the layout asked for if a key does
// there, else in another layout of the keymap. The answers are kept until the keymap changes.
class XkbKeys {
public:
    XkbKeys() = default;
    ~XkbKeys();
    XkbKeys(const XkbKeys&) = delete;
    XkbKeys& operator=(const XkbKeys&) = delete;

    // Takes `keymap` (a new reference) in place of the one held; none forgets it.
    void reset(xkb_keymap* keymap = nullptr);
    // Takes the XKB text keymap of `size` bytes at `fd` (left open), as Wayland and EIS hand
    // keymaps out; keeps the one held when the descriptor can't be read.
    void read(xkb_context* context, int fd, std::size_t size);
    bool known() const { return keymap_ != nullptr; }
    // An XKB keycode (evdev + 8); 0 when no key gives `keysym`.
    std::uint32_t keyFor(std::uint32_t layout, std::uint32_t keysym);
    // The key of this XKB name ("AB04" is the V position of the standard layout); 0 when none.
    std::uint32_t keyNamed(const char* name) const;

private:
    std::uint32_t keyIn(std::uint32_t layout, std::uint32_t keysym) const;

    xkb_keymap* keymap_ = nullptr;
    std::unordered_map<std::uint64_t, std::uint32_t> found_;
};
