#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

class QDBusServiceWatcher;
class QTemporaryFile;

// Which window is active on KDE Plasma's Wayland session. KWin tells no D-Bus client, but it runs
// scripts: a small one, loaded while the agent runs, calls the agent with each activated window's
// resource class (KWin 5 and 6 name the signal differently; it takes either). Calls from any
// connection but KWin's own are ignored. Elsewhere (GNOME, or XDG_CURRENT_DESKTOP naming no KDE)
// no application is known.
class KWinActiveWindow final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "co.ambertide.KelmoHelper.ActiveWindow")
public:
    explicit KWinActiveWindow(QDBusConnection bus);
    ~KWinActiveWindow() override;

    // Loads the script into KWin, and again whenever KWin starts anew. KWin holds one script of
    // its name for the whole session: only the one agent may start it.
    void start();

    // The active window's resource class, as KWin last reported it; empty when unknown.
    QStringList names() const;

public Q_SLOTS:
    // KWin's script calls this.
    Q_SCRIPTABLE void Activated(const QString& resourceClass);

private:
    void load(const QString& kwin, int attempt = 0);
    void unload();

    QDBusConnection bus_;
    QDBusServiceWatcher* watcher_;
    std::unique_ptr<QTemporaryFile> script_;
    QString kwin_;
    QString active_;
};
