#pragma once

#include <QString>
#include <optional>

// The user's XDG data folder: $XDG_DATA_HOME when it is absolute, else ~/.local/share (a relative
// value of either variable is invalid and ignored); none when neither names one. Asking creates
// nothing.
std::optional<QString> xdgDataHome();
