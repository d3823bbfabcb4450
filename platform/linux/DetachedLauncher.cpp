#include "DetachedLauncher.h"

#include "InfoPlist.h"
#include "SessionServiceFile.h"
#include "TrustedPath.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {
const QString launchDomain = QStringLiteral("co.ambertide.launch");

// Error codes, after the platform's own launch errors.
enum LaunchError {
    bundleMissing = 1,
    executableUnknown = 2,
    executableMissing = 3,
    execFailed = 4,
    notYoursAlone = 5
};

Error launchError(LaunchError code, const QString& bundle, const QString& why) {
    return {launchDomain, code,
            QStringLiteral("The application “%1” can't be opened: %2.")
                .arg(QFileInfo(bundle).fileName(), why)};
}
} // namespace

std::optional<Error> DetachedLauncher::start(const QString& bundlePath) {
    for (const QString& part :
         {QFileInfo(bundlePath).path(), bundlePath, bundlePath + QStringLiteral("/Contents"),
          bundlePath + QStringLiteral("/Contents/Info.plist"),
          bundlePath + QStringLiteral("/Contents/MacOS")})
        if (const std::optional<QString> why = whyUntrusted(part))
            return launchError(notYoursAlone, bundlePath, *why);
    if (!QFileInfo(bundlePath).isDir())
        return launchError(bundleMissing, bundlePath,
                           QStringLiteral("there is no application at “%1”").arg(bundlePath));
    const QString infoPlist = bundlePath + QStringLiteral("/Contents/Info.plist");
    const QString name = InfoPlist::topLevelString(infoPlist, u"CFBundleExecutable");
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return launchError(executableUnknown, bundlePath,
                           QStringLiteral("its Contents/Info.plist names no executable"));
    const QString executable = bundlePath + QStringLiteral("/Contents/MacOS/") + name;
    const QFileInfo info(executable);
    if (!info.isFile() || !info.isExecutable())
        return launchError(
            executableMissing, bundlePath,
            QStringLiteral("“Contents/MacOS/%1” is missing or not executable").arg(name));
    if (const std::optional<QString> why = whyUntrusted(executable))
        return launchError(notYoursAlone, bundlePath, *why);

    // Started once by its launcher, a bundle can be started by its identifier from then on, as
    // Launch Services allows on macOS: the main application asks the bus, not for a path.
    const QString identifier = InfoPlist::topLevelString(infoPlist, u"CFBundleIdentifier");
    if (!identifier.isEmpty())
        if (std::optional<Error> failure = SessionServiceFile::write(identifier, executable))
            return failure;

    QProcess process;
    process.setProgram(executable);
    process.setWorkingDirectory(bundlePath);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    // Qt detaches the child into a session of its own and reports a failed exec.
    if (!process.startDetached())
        return launchError(execFailed, bundlePath, process.errorString());
    return std::nullopt;
}

void DetachedLauncher::launchApplication(const QString& bundlePath, Launched launched) {
    launched(start(bundlePath));
}
