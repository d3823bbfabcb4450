#include "PortalGrant.h"

#include "PrivateFiles.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString tokenPrefix = QStringLiteral("restore_token ");
const QString grantedLine = QStringLiteral("granted");
} // namespace

PortalGrant::PortalGrant(QString path)
    : path_(std::move(path)) {}

QString PortalGrant::defaultPath() {
    // As the XDG base directories have it: an absolute XDG_STATE_HOME, else ~/.local/state.
    QString state = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    if (!state.startsWith(QLatin1Char('/'))) {
        const QString home = QFile::decodeName(qgetenv("HOME"));
        if (!home.startsWith(QLatin1Char('/')))
            return {};
        state = home + QStringLiteral("/.local/state");
    }
    return state + QStringLiteral("/Kelmo/helper-remote-desktop");
}

QString PortalGrant::read() const {
    // Not blocking, and a plain file only: a pipe put in its place must not hold the start up.
    const int fd = path_.isEmpty() ? -1
                                   : ::open(QFile::encodeName(path_).constData(),
                                            O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat info {};
    QFile file;
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return {};
    }
    return QString::fromUtf8(file.readLine(4096)).trimmed();
}

bool PortalGrant::granted() const {
    const QString line = read();
    return line == grantedLine || line.startsWith(tokenPrefix);
}

std::optional<QString> PortalGrant::restoreToken() const {
    const QString line = read();
    if (!line.startsWith(tokenPrefix) || line.size() == tokenPrefix.size())
        return std::nullopt;
    return line.mid(tokenPrefix.size());
}

bool PortalGrant::remember(const QString& restoreToken) {
    if (path_.isEmpty() ||
        PrivateFiles::makeDirectories(QFile::encodeName(QFileInfo(path_).path()).toStdString()))
        return false;
    // A token is one line of printable text; anything else is kept as a plain grant.
    const bool usable =
        !restoreToken.isEmpty() && std::all_of(restoreToken.begin(), restoreToken.end(),
                                               [](QChar c) { return c.isPrint() && !c.isSpace(); });
    const QString line = usable ? tokenPrefix + restoreToken : grantedLine;
    return PrivateFiles::writeAtomically(QFile::encodeName(path_).toStdString(),
                                         (line + QLatin1Char('\n')).toStdString()) == 0;
}

void PortalGrant::forget() {
    if (!path_.isEmpty())
        QFile::remove(path_);
}
