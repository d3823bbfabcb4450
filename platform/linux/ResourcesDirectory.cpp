#include "ResourcesDirectory.h"

#include <QCoreApplication>
#include <QFileInfo>

ResourcesDirectory::ResourcesDirectory(QString path)
    : path_(std::move(path)) {}

QString ResourcesDirectory::ofRunningApplication() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../Resources");
}

std::optional<QString> ResourcesDirectory::pathForResource(const QString& name,
                                                           const QString& extension) {
    const QFileInfo resource(path_ + QLatin1Char('/') + name + QLatin1Char('.') + extension);
    if (!resource.exists())
        return std::nullopt;
    return resource.absoluteFilePath();
}
