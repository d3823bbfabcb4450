#pragma once

#include <QString>

// What the installer reads of a bundle's Contents/Info.plist.
namespace InfoPlist {

// The string value of `key` in the top-level dictionary of the property list at `path`; empty
// when there is none. Values of other keys may hold dictionaries of their own, whose keys don't
// count.
QString topLevelString(const QString& path, QStringView key);

} // namespace InfoPlist
