#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <algorithm>

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

// The end of a log, where the reason a program failed usually is.
inline QString tailOf(const QString& path) {
    QFile log(path);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    log.seek(std::max<qint64>(0, log.size() - 2000));
    return QString::fromUtf8(log.readAll()).trimmed();
}

// Ends `process` at once, if it runs.
inline void stop(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(5000);
}

// The desktops' text field (demo-textfield, `program`) on Wayland: its lines, "ready", then its
// whole text at each change (and, with --keys, each key it gets); what it says on standard error
// goes to `log`.
class TextField {
public:
    ~TextField() { stop(); }
    void start(const QString& program, QProcessEnvironment env, const QStringList& arguments,
               const QString& log) {
        stop();
        lines_.clear();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        process_.setProcessEnvironment(env);
        log_ = log;
        process_.setStandardErrorFile(log);
        process_.start(program, arguments);
    }
    void stop() { DesktopProcesses::stop(process_); }
    QStringList lines() {
        process_.waitForReadyRead(0);
        while (process_.canReadLine())
            lines_ << QString::fromUtf8(process_.readLine()).chopped(1);
        return lines_;
    }
    bool waitForLine(const QString& line, int timeoutMs) {
        return waitFor([&] { return lines().contains(line); }, timeoutMs);
    }
    bool running() const { return process_.state() == QProcess::Running; }
    // "runs", or how it ended and the last it said.
    QString state() const {
        if (running())
            return QStringLiteral("runs");
        return QStringLiteral("has gone (exit status %1: %2)")
            .arg(process_.exitCode())
            .arg(tailOf(log_));
    }

private:
    QProcess process_;
    QStringList lines_;
    QString log_;
};

} // namespace DesktopProcesses
