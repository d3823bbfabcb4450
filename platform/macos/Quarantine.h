#pragma once

#include <string>

// Gatekeeper's quarantine mark, which a copy keeps from a downloaded source.
namespace Quarantine {

// Removes the mark from every file and folder under `path`, links not followed; 0, or an errno
// value. Read-only files of the caller's own are made writable for the moment it takes.
int clear(const std::string& path);

} // namespace Quarantine
