#include "XkbKeys.h"

#include <algorithm>
#include <cstring>
#include <sys/mman.h>
#include <xkbcommon/xkbcommon.h>

XkbKeys::~XkbKeys() {
    xkb_keymap_unref(keymap_);
}

void XkbKeys::reset(xkb_keymap* keymap) {
    xkb_keymap_unref(keymap_);
    keymap_ = keymap;
    found_.clear();
}

void XkbKeys::read(xkb_context* context, int fd, std::size_t size) {
    void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (text == MAP_FAILED)
        return;
    const auto* chars = static_cast<const char*>(text);
    reset(xkb_keymap_new_from_buffer(context, chars, ::strnlen(chars, size),
                                     XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS));
    ::munmap(text, size);
}

std::uint32_t XkbKeys::keyIn(std::uint32_t layout, std::uint32_t keysym) const {
    const xkb_keycode_t last = xkb_keymap_max_keycode(keymap_);
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap_); key <= last; ++key) {
        if (layout >= xkb_keymap_num_layouts_for_key(keymap_, key))
            continue;
        const xkb_keysym_t* symbols = nullptr;
        const int count = xkb_keymap_key_get_syms_by_level(keymap_, key, layout, 0, &symbols);
        if (std::find(symbols, symbols + count, keysym) != symbols + count)
            return key;
    }
    return 0;
}

std::uint32_t XkbKeys::keyFor(std::uint32_t layout, std::uint32_t keysym) {
    if (!keymap_)
        return 0;
    const xkb_layout_index_t layouts = xkb_keymap_num_layouts(keymap_);
    const xkb_layout_index_t preferred = layout < layouts ? layout : 0;
    const std::uint64_t question = std::uint64_t(keysym) << 8 | preferred;
    if (const auto it = found_.find(question); it != found_.end())
        return it->second;
    std::uint32_t key = keyIn(preferred, keysym);
    for (xkb_layout_index_t other = 0; !key && other < layouts; ++other)
        key = keyIn(other, keysym);
    found_.emplace(question, key);
    return key;
}

std::uint32_t XkbKeys::keyNamed(const char* name) const {
    if (!keymap_)
        return 0;
    const xkb_keycode_t key = xkb_keymap_key_by_name(keymap_, name);
    return key == XKB_KEYCODE_INVALID ? 0 : key;
}
