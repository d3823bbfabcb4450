#pragma once

#include "Error.h"

#include <QString>
#include <optional>

// The user's D-Bus session service file for a program, so that any peer can start it by its bus
// name (org.freedesktop.DBus.StartServiceByName) and the bus starts at most one. The bus reads
// $XDG_DATA_HOME/dbus-1/services (else ~/.local/share/dbus-1/services), even when the file
// appears after the bus started.
namespace SessionServiceFile {

// Writes or replaces, in one step and readable by all, the file that starts `executable` for
// `busName`. None, or why not.
std::optional<Error> write(const QString& busName, const QString& executable);

} // namespace SessionServiceFile
