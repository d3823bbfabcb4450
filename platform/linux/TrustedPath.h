#pragma once

#include <QString>
#include <optional>

// Why the entry at `path` can't be trusted to hold what the user put there, or nothing when it
// can (or is missing, which its user reports in its own words): a symbolic link may lead
// anywhere, and another user who owns it, or anyone who may write it, may have put a program of
// theirs there.
std::optional<QString> whyUntrusted(const QString& path);
