#pragma once

#include <QString>
#include <QStringView>
#include <optional>

// A paste keystroke: modifiers held around one key, as applications name them
// ("Control+Shift+V"). The V is whichever key gives "v" in the active layout.
struct PasteChord {
    enum class Key { v, insert };
    bool control = true;
    bool shift = false;
    bool alt = false;
    Key key = Key::v;

    // "Control+Shift+V", "ctrl+alt+v", "Shift+Insert": modifiers Control (Ctrl), Shift and Alt,
    // each once, then V or Insert, any case. None for anything else, for V without Control or
    // Insert without a modifier: those type text.
    static std::optional<PasteChord> parse(QStringView text);
    QString text() const;
    bool operator==(const PasteChord&) const = default;
};
