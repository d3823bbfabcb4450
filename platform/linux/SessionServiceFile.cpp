#include "SessionServiceFile.h"

#include "PrivateFiles.h"
#include "XdgFolders.h"

#include <QFile>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>

namespace SessionServiceFile {
namespace {
Error failure(const QString& busName, const QString& why) {
    return {QStringLiteral("org.freedesktop.DBus"), 1,
            QStringLiteral("“%1” can't be made startable by name on the session bus: %2.")
                .arg(busName, why)};
}

bool isBusName(const QString& name) {
    // Checked before it becomes a line of the file: a name from a bundle must not add lines.
    static const QRegularExpression wellKnown(
        QStringLiteral("^[A-Za-z_-][A-Za-z0-9_-]*(\\.[A-Za-z_-][A-Za-z0-9_-]*)+$"));
    return name.size() <= 255 && wellKnown.match(name).hasMatch();
}

// `path` as one word of the bus's Exec line; empty when it can't be one (a line break).
QString quotedForExec(const QString& path) {
    if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r')))
        return {};
    // The bus splits Exec as a shell would (inside single quotes only a single quote is special),
    // after reading it as a desktop file's value, where each backslash must be doubled: a lone one
    // makes the bus ignore the whole file.
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    quoted = QLatin1Char('\'') + quoted + QLatin1Char('\'');
    return quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
}
} // namespace

std::optional<Error> write(const QString& busName, const QString& executable) {
    if (!isBusName(busName))
        return failure(busName, QStringLiteral("that is not a bus name"));
    const QString exec = quotedForExec(executable);
    if (exec.isEmpty())
        return failure(busName, QStringLiteral("its path holds a line break"));
    const std::optional<QString> dataHome = xdgDataHome();
    if (!dataHome)
        return failure(busName,
                       QStringLiteral("neither XDG_DATA_HOME nor HOME names your data folder"));
    const QString folder = *dataHome + QStringLiteral("/dbus-1/services");
    const QString path = folder + QLatin1Char('/') + busName + QStringLiteral(".service");
    int status = PrivateFiles::makeDirectories(QFile::encodeName(folder).toStdString());
    if (status == 0)
        status = PrivateFiles::writeAtomically(
            QFile::encodeName(path).toStdString(),
            QStringLiteral("[D-BUS Service]\nName=%1\nExec=%2\n").arg(busName, exec).toStdString(),
            0644);
    if (status == 0)
        return std::nullopt;
    return failure(
        busName,
        QStringLiteral("“%1”: %2").arg(path, QString::fromLocal8Bit(std::strerror(status))));
}

} // namespace SessionServiceFile
