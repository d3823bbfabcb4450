#pragma once

#include <QString>

// Whether the bundle version `installed` is older than `carried`. Versions are dotted numbers,
// compared number by number, a missing one counting as 0 ("1.2" is "1.2.0"). An installed
// version that could not be read (empty) is older than any; nothing is older than an unreadable
// carried one.
bool isOlderBundleVersion(const QString& installed, const QString& carried);
