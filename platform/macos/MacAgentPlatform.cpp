#include "AXAccessibilityTrust.h"
#include "AgentPlatform.h"
#include "CGEventKeyboard.h"
#include "NotificationNames.h"
#include "WorkspaceRunningApplications.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <sys/file.h>

void prepareAgentProcess() {
    // Darwin notifications arrive only while the main CFRunLoop runs, and a QCoreApplication runs
    // it only with this set before the application object exists.
    qputenv("QT_EVENT_DISPATCHER_CORE_FOUNDATION", "1");
}

std::optional<AgentPlatform> makeAgentPlatform(QString&) {
    return AgentPlatform{std::make_unique<WorkspaceRunningApplications>(),
                         std::make_unique<CGEventKeyboard>(),
                         std::make_unique<AXAccessibilityTrust>(),
                         {}};
}

bool becomeTheOnlyAgent(QString& whyNot) {
    // Launch Services keeps one instance of a bundle it starts, but not of a copy started from a
    // shell or from another place on disk: a lock held for the whole run keeps it to one agent,
    // so that no command is carried out twice. $TMPDIR is the user's own on macOS.
    const QString lockPath = QDir::tempPath() + QLatin1Char('/') +
                             QLatin1String(BundleIdentifier::helper) + QStringLiteral(".lock");
    const int lock =
        ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        whyNot = QStringLiteral("another agent already runs (it holds %1); this one exits")
                     .arg(lockPath);
        return false;
    }
    // The descriptor stays open, and the lock held, until the process ends.
    return true;
}
