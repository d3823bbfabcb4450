#pragma once

#include "DesktopProcesses.h"

#include <QDBusConnection>
#include <QProcess>
#include <QTemporaryDir>

// A Wayland desktop of its own, for the demo, the benchmark and the tests: headless KWin, and the
// desktop portal with its KDE backend on a private session bus, with a Qt text field on Wayland
// (demo-textfield) that prints its text at each change. Everything it started is stopped when it
// goes.
class WaylandDesktop {
public:
    // `layout` and `variant` as XKB names them ("us", "dvorak", "ru,us"); `fieldArguments` for
    // the text field's program.
    explicit WaylandDesktop(const QString& layout = QStringLiteral("us"),
                            const QString& variant = {}, const QStringList& fieldArguments = {});
    ~WaylandDesktop();
    WaylandDesktop(const WaylandDesktop&) = delete;
    WaylandDesktop& operator=(const WaylandDesktop&) = delete;

    // Whether the packages it needs are installed.
    static bool installed();
    bool isRunning() const { return whyNot_.isEmpty(); }
    QString whyNot() const { return whyNot_; }
    // For programs that join the desktop: its bus, its display, its XDG folders.
    QProcessEnvironment environment() const { return env_; }
    QDBusConnection bus() const;
    // The text field's lines so far: "ready", then its whole text at each change.
    QStringList fieldLines() { return field_.lines(); }
    // Waits, at most `timeoutMs`, for the field to print `line`.
    bool waitForFieldLine(const QString& line, int timeoutMs = 10000) {
        return field_.waitForLine(line, timeoutMs);
    }
    // Puts `text` on the desktop's clipboard, as a user's copy would.
    bool copy(const QString& text);
    // Whether applications outside a sandbox may control the desktop without Plasma 6's dialog,
    // as System Settings sets it; empty, or why the permission store refused.
    QString allowRemoteControl(bool allowed);

private:
    bool start(const QString& layout, const QString& variant, const QStringList& fieldArguments);
    bool fail(const QString& why);
    QString servicesLog() const;
    bool writeFile(const QString& path, const QString& contents);
    void startInGroup(QProcess& process, const QString& program, const QStringList& arguments);

    QTemporaryDir root_;
    QProcessEnvironment env_;
    QString busName_;
    QProcess bus_;
    QProcess kwin_;
    DesktopProcesses::TextField field_;
    QByteArray kwinLog_;
    QString whyNot_;
};
