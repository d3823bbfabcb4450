#pragma once

#include <string>

// Files and folders only their owner may read, as base directories and per-user state should be.
namespace PrivateFiles {

// Creates `path` and whichever of its parents are missing, each with mode 0700. 0, or an errno.
int makeDirectories(const std::string& path);
// Replaces the file at `path` with `contents` in one step, with `mode` (0600 unless others must
// read it): a reader sees the old contents or the new, never part of them. 0, or an errno.
int writeAtomically(const std::string& path, const std::string& contents, unsigned mode = 0600);

} // namespace PrivateFiles
