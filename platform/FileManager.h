#pragma once

#include "Error.h"

#include <QString>
#include <optional>

// The file operations the installer needs. Failures come back as errors, never half done.
class FileManager {
public:
    FileManager() = default;
    FileManager(const FileManager&) = delete;
    FileManager& operator=(const FileManager&) = delete;
    virtual ~FileManager() = default;

    // The user's Application Support directory; asking creates nothing.
    virtual std::optional<QString> applicationSupportDirectory(Error& error) = 0;
    // Whether any entry, file or directory, is at `path`.
    virtual bool fileExistsAtPath(const QString& path) = 0;
    // Creates `path` alone, no missing parents.
    virtual std::optional<Error> createDirectoryAtPath(const QString& path) = 0;
    // Copies the file or directory tree `from` to `to`, which must not exist. Either the whole
    // copy appears at `to`, or nothing does.
    virtual std::optional<Error> copyItem(const QString& from, const QString& to) = 0;
};
