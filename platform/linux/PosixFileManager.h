#pragma once

#include "FileManager.h"

// Files on Linux. The Application Support directory is the XDG data directory
// ($XDG_DATA_HOME if absolute, else ~/.local/share), created with mode 0700 when missing.
class PosixFileManager final : public FileManager {
public:
    // renameat2(2), or a stand-in for a filesystem without rename flags.
    using RenameAt2 = int (*)(const char* from, const char* to, unsigned flags);
    explicit PosixFileManager(RenameAt2 rename = nullptr);

    std::optional<QString> applicationSupportDirectory(Error& error) override;
    bool fileExistsAtPath(const QString& path) override;
    std::optional<Error> createDirectoryAtPath(const QString& path) override;
    // Installed files take the user's umask and never group or world write permission, whatever
    // the source's modes. Partial copies that an installer killed mid-copy left beside `to` are
    // removed first.
    std::optional<Error> copyItem(const QString& from, const QString& to) override;
    // Without RENAME_EXCHANGE (NFS) the old tree is moved aside first: for a moment nothing is
    // at `to`, but never a mix.
    std::optional<Error> replaceItem(const QString& from, const QString& to) override;
    QString bundleVersion(const QString& bundle) override;

private:
    int renameNoReplace(const char* from, const char* to);

    RenameAt2 rename_;
};
