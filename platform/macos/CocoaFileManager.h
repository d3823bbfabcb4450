#pragma once

#include "FileManager.h"

class CocoaFileManager final : public FileManager {
public:
    std::optional<QString> applicationSupportDirectory(Error& error) override;
    bool fileExistsAtPath(const QString& path) override;
    std::optional<Error> createDirectoryAtPath(const QString& path) override;
    std::optional<Error> copyItem(const QString& from, const QString& to) override;
    std::optional<Error> replaceItem(const QString& from, const QString& to) override;
    QString bundleVersion(const QString& bundle) override;
};
