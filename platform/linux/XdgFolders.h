#pragma once

#include <QString>
#include <optional>

// The user's XDG folders: the variable's value when it is absolute, else the folder under the
// home folder (a relative value of either variable is invalid and ignored); none when neither
// names one. Asking creates nothing.
std::optional<QString> xdgDataHome();   // $XDG_DATA_HOME, else ~/.local/share
std::optional<QString> xdgConfigHome(); // $XDG_CONFIG_HOME, else ~/.config
