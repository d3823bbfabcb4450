#pragma once

#include "MainBundle.h"

// The Contents/Resources folder of an application bundle.
class ResourcesDirectory final : public MainBundle {
public:
    explicit ResourcesDirectory(QString path);
    // Of the bundle that holds the running executable (…/Contents/MacOS/<program>).
    static QString ofRunningApplication();

    std::optional<QString> pathForResource(const QString& name, const QString& extension) override;

private:
    QString path_;
};
