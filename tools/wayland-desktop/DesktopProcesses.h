#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>

// What the stand-alone desktops share: waiting with the event loop turning, and the clipboard.
namespace DesktopProcesses {

template <typename Condition>
bool waitFor(Condition condition, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

// Puts `text` on the clipboard of the desktop in `env`, as a user's copy would (an empty text
// empties it); wl-copy leaves a server behind that offers the text until the compositor goes.
inline bool copy(const QProcessEnvironment& env, const QString& text) {
    QProcess copier;
    copier.setProcessEnvironment(env);
    copier.setStandardOutputFile(QProcess::nullDevice());
    copier.setStandardErrorFile(QProcess::nullDevice());
    copier.start(QStringLiteral("wl-copy"), {text.isEmpty() ? QStringLiteral("--clear") : text});
    return copier.waitForFinished(10000) && copier.exitCode() == 0;
}

} // namespace DesktopProcesses
