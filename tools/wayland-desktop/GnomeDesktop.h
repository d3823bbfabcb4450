#pragma once

#include "DesktopProcesses.h"

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

// A GNOME desktop of its own, for the tests and the demo: headless GNOME Shell (as an
// unprivileged user when run as root) with Kelmo Helper's extension and a small one of the
// tests' (which leaves the overview at start, focuses windows and copies on request), an empty
// system bus of its own, and a Qt text field on Wayland (demo-textfield) that prints its text at
// each change. The Shell joins the caller's session bus, which must let that user in. Everything it
// started is stopped when it goes.
class GnomeDesktop {
public:
    // Without `withAgentExtension`, the Shell has not loaded the agent's extension, as in the
    // session it was installed in.
    explicit GnomeDesktop(const QStringList& fieldArguments = {}, bool withAgentExtension = true);
    ~GnomeDesktop();
    GnomeDesktop(const GnomeDesktop&) = delete;
    GnomeDesktop& operator=(const GnomeDesktop&) = delete;

    // A session bus configuration's <policy> that lets the Shell's user in.
    static QString busPolicy();
    // Puts into `folder` the services of the desktop portal with its GNOME backend, where they
    // are installed; the bus configuration's <servicedir> for it, beside busPolicy(). Services
    // the bus starts once the desktop runs join it.
    static QString portalServices(const QString& folder);
    // The agent's extension as built, for a data folder of a test's own.
    static QString agentExtension();
    // Whether GNOME Shell is installed.
    static bool installed();
    // The major version of the gnome-shell installed; 0 if none answers.
    static int shellMajor();
    bool isRunning() const { return whyNot_.isEmpty(); }
    QString whyNot() const { return whyNot_; }
    QProcessEnvironment environment() const;
    QStringList fieldLines() { return field_.lines(); }
    bool waitForFieldLine(const QString& line, int timeoutMs = 10000) {
        return field_.waitForLine(line, timeoutMs);
    }
    // Puts `text` on the clipboard, as a user's copy would.
    bool copy(const QString& text);
    // The focused window's class (Wayland: app_id); empty for none.
    QString focusedApplication() const;
    // Focuses the window of `wmClass`, as a click would, and waits until it has the keys.
    bool focus(const QString& wmClass);
    // Presses and releases keys by their names ("Return", "Tab"), as a user would: for the
    // desktop's own dialogs.
    bool type(const QStringList& keys);
    // Switches the agent's extension on or off, as the Extensions app does.
    bool setExtensionEnabled(bool enabled);
    qint64 shellPid() const { return shell_.processId(); }
    // The Shell dies, as in a crash (the field with it); then a new one on the same socket, with a
    // new field.
    void killShell();
    bool restartShell();

private:
    bool start(const QStringList& fieldArguments);
    bool startShell();
    bool startField();
    bool fail(const QString& why);
    QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments) const;

    QTemporaryDir root_;
    bool withAgentExtension_;
    QString busAddress_;
    QString busName_;
    QProcess systemBus_;
    QProcess shell_;
    QStringList fieldArguments_;
    DesktopProcesses::TextField field_;
    QString whyNot_;
};
