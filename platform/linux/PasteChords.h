#pragma once

#include "PasteChord.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QStringList>

// Which paste chord each application takes: a built-in table (terminals take Control+Shift+V,
// URxvt Control+Alt+V, Emacs Shift+Insert, everything else Control+V) under the user's own
// settings file, which is read at start and again whenever it changes, in the event loop, so a
// paste never waits on it.
//
// The file has one `application = chord` per line, and `default = chord` for every application
// not named; `#` starts a comment line. A line that can't be read is reported once on standard
// error with its number, and the rest still applies.
class PasteChords final : public QObject {
    Q_OBJECT
public:
    explicit PasteChords(QString settingsFile);

    // $XDG_CONFIG_HOME/Kelmo/paste-keys (else under ~/.config); empty without either.
    static QString defaultSettingsFile();

    // The chord of the application known by `names` (X11: WM_CLASS instance and class; Wayland:
    // the app_id), matched exactly and ignoring case; the default chord for unknown names.
    PasteChord chordFor(const QStringList& names) const;

private:
    void reload();
    void watch();

    QString file_;
    QHash<QString, PasteChord> user_;
    std::optional<PasteChord> userDefault_;
    QFileSystemWatcher watcher_;
    QSet<QString> reported_;
};
