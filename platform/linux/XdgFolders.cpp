#include "XdgFolders.h"

#include <QFile>

namespace {
std::optional<QString> xdgFolder(const char* variable, const QString& underHome) {
    const QString directory = QFile::decodeName(qgetenv(variable));
    if (directory.startsWith(QLatin1Char('/')))
        return directory;
    const QString home = QFile::decodeName(qgetenv("HOME"));
    if (home.startsWith(QLatin1Char('/')))
        return home + underHome;
    return std::nullopt;
}
} // namespace

std::optional<QString> xdgDataHome() {
    return xdgFolder("XDG_DATA_HOME", QStringLiteral("/.local/share"));
}

std::optional<QString> xdgConfigHome() {
    return xdgFolder("XDG_CONFIG_HOME", QStringLiteral("/.config"));
}
