#pragma once

#include "DesktopProcesses.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

// A wlroots desktop of its own, for the tests: headless sway (as an unprivileged user when run as
// root, since sway refuses root), a long-lived virtual keyboard so that clients find a keyboard
// from the start, and a Qt text field on Wayland (demo-textfield) that prints its text at each
// change. The session bus is the caller's. Everything it started is stopped when it goes.
class SwayDesktop {
public:
    // `fieldArguments` for the text field's program.
    explicit SwayDesktop(const QStringList& fieldArguments = {});
    ~SwayDesktop();
    SwayDesktop(const SwayDesktop&) = delete;
    SwayDesktop& operator=(const SwayDesktop&) = delete;

    // Whether sway, wtype and wl-clipboard are installed.
    static bool installed();
    bool isRunning() const { return whyNot_.isEmpty(); }
    QString whyNot() const { return whyNot_; }
    // For programs that join the desktop: its display and runtime folder, and the caller's bus.
    QProcessEnvironment environment() const;
    QStringList fieldLines() { return field_.lines(); }
    // "runs", else how it ended, with the compositor's last words.
    QString fieldState() const;
    bool waitForFieldLine(const QString& line, int timeoutMs = 10000) {
        return field_.waitForLine(line, timeoutMs);
    }
    // Puts `text` on the desktop's clipboard, as a user's copy would.
    bool copy(const QString& text);
    // The app_id of the window with the keyboard focus; empty for none.
    QString focusedApplication() const;
    // Gives the keyboard focus to the window of `appId`, as a click would; whether sway did.
    bool focus(const QString& appId) const;
    qint64 compositorPid() const { return sway_.processId(); }
    // The compositor dies, as in a crash.
    void killCompositor();
    // A new compositor, on the socket of the old one; no window on it yet.
    bool restartCompositor();

private:
    bool start(const QStringList& fieldArguments);
    bool startCompositor();
    bool fail(const QString& why);
    QByteArray ask(const QString& type, const QString& command = {}) const;

    QTemporaryDir root_;
    QString display_;
    QProcess sway_;
    QProcess keyboard_;
    DesktopProcesses::TextField field_;
    QString whyNot_;
};
