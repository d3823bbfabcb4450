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
    // Puts a copy of the tree `from` in the place of the tree at `to`, in one step: a reader sees
    // the old tree or the whole new one, never a mix, and a failure leaves the old one.
    virtual std::optional<Error> replaceItem(const QString& from, const QString& to) = 0;
    // CFBundleVersion of the bundle at `bundle`; empty when its Info.plist can't be read.
    virtual QString bundleVersion(const QString& bundle) = 0;
};
