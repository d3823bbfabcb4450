#include "XdgDataHome.h"

#include <QFile>

std::optional<QString> xdgDataHome() {
    const QString directory = QFile::decodeName(qgetenv("XDG_DATA_HOME"));
    if (directory.startsWith(QLatin1Char('/')))
        return directory;
    const QString home = QFile::decodeName(qgetenv("HOME"));
    if (home.startsWith(QLatin1Char('/')))
        return home + QStringLiteral("/.local/share");
    return std::nullopt;
}
