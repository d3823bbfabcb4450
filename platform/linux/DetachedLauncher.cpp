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

// The string value of CFBundleExecutable in the top-level dictionary of an Info.plist; empty when
// there is none. Values of other keys may hold dictionaries of their own, whose keys don't count.
QString bundleExecutable(const QString& infoPlist) {
    QFile file(infoPlist);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QXmlStreamReader plist(&file);
    if (!plist.readNextStartElement() || plist.name() != u"plist" ||
        !plist.readNextStartElement() || plist.name() != u"dict")
        return {};
    QString key;
    while (plist.readNextStartElement()) {
        if (plist.name() == u"key") {
            key = plist.readElementText();
            continue;
        }
        if (key == u"CFBundleExecutable") {
            const QString value = plist.name() == u"string" ? plist.readElementText() : QString();
            return plist.hasError() ? QString() : value;
        }
        plist.skipCurrentElement();
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
