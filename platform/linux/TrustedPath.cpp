#include "TrustedPath.h"

#include <QFile>
#include <sys/stat.h>
#include <unistd.h>

std::optional<QString> whyUntrusted(const QString& path) {
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("“%1” is a symbolic link, not the application itself; remove it "
                              "and install again")
            .arg(path);
    if (info.st_uid != ::geteuid())
        return QStringLiteral("“%1” belongs to another user").arg(path);
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("others may change “%1”").arg(path);
    return std::nullopt;
}
