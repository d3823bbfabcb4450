#pragma once

#include "FileManager.h"

// Files on Linux. The Application Support directory is the XDG data directory
// ($XDG_DATA_HOME, else ~/.local/share).
class PosixFileManager final : public FileManager {
public:
    std::optional<QString> applicationSupportDirectory(Error& error) override;
    bool fileExistsAtPath(const QString& path) override;
    std::optional<Error> createDirectoryAtPath(const QString& path) override;
    std::optional<Error> copyItem(const QString& from, const QString& to) override;
};
