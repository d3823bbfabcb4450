#include "DetachedLauncher.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QXmlStreamReader>

namespace {
const QString launchDomain = QStringLiteral("co.ambertide.launch");

// Error codes, after the platform's own launch errors.
enum LaunchError {
    bundleMissing = 1,
    executableUnknown = 2,
    executableMissing = 3,
    execFailed = 4
};

Error launchError(LaunchError code, const QString& bundle, const QString& why) {
    return {launchDomain, code,
            QStringLiteral("The application “%1” can't be opened: %2.")
                .arg(QFileInfo(bundle).fileName(), why)};
}

// The value of CFBundleExecutable in an Info.plist; empty when there is none.
QString bundleExecutable(const QString& infoPlist) {
    QFile file(infoPlist);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QXmlStreamReader plist(&file);
    QString key;
    while (!plist.atEnd()) {
        if (plist.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (plist.name() == QLatin1String("key"))
            key = plist.readElementText();
        else if (plist.name() == QLatin1String("string") &&
                 key == QLatin1String("CFBundleExecutable"))
            return plist.readElementText();
        else if (plist.name() != QLatin1String("dict") && plist.name() != QLatin1String("plist"))
            key.clear();
    }
    return {};
}
} // namespace

std::optional<Error> DetachedLauncher::launchApplication(const QString& bundlePath) {
    if (!QFileInfo(bundlePath).isDir())
        return launchError(bundleMissing, bundlePath,
                           QStringLiteral("there is no application at “%1”").arg(bundlePath));
    const QString name = bundleExecutable(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return launchError(executableUnknown, bundlePath,
                           QStringLiteral("its Contents/Info.plist names no executable"));
    const QString executable = bundlePath + QStringLiteral("/Contents/MacOS/") + name;
    const QFileInfo info(executable);
    if (!info.isFile() || !info.isExecutable())
        return launchError(
            executableMissing, bundlePath,
            QStringLiteral("“Contents/MacOS/%1” is missing or not executable").arg(name));

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
