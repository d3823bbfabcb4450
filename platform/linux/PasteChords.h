#pragma once

#include "PasteChord.h"

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <array>
#include <chrono>
#include <optional>

// Which paste chord each application takes: a built-in table (terminals take Control+Shift+V,
// URxvt Control+Alt+V, Emacs Shift+Insert, everything else Control+V) under the user's own
// settings file, which is read at start and again whenever it changes, in the event loop, so a
// paste never waits on it.
//
// The file has one `application = chord` per line, and `default = chord` for every application
// not named; `#` starts a comment line. A line that can't be read is reported once on standard
// error with its number (a few a reading, and a count of the rest), and the rest still applies.
//
// A change is taken once the file has been quiet for `settle`, and read the same again after as
// long: an editor that writes in place is not read half way. The file, its folder and the config
// folder are watched, and when these are missing the nearest folder above that exists, so that any
// of them made again is noticed.
class PasteChords final : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds settle{100};

    explicit PasteChords(QString settingsFile, std::chrono::milliseconds quiet = settle);

    // $XDG_CONFIG_HOME/Kelmo/paste-keys (else under ~/.config); empty without either.
    static QString defaultSettingsFile();

    // The chord of the application known by `names` (X11: WM_CLASS instance and class; Wayland:
    // the app_id), matched exactly and ignoring case; the default chord for unknown names.
    PasteChord chordFor(const QStringList& names) const;

private:
    // The file as read: its content, or why it was not read; neither when there is none. With
    // the file's identity, size and times right after: a writer that rewrote the file between two
    // readings changed those, even when both readings caught it equally half written.
    struct Reading {
        std::optional<QByteArray> content;
        QString whyNot;
        std::array<qint64, 5> stamp{};
        bool operator==(const Reading&) const = default;
    };

    Reading read() const;
    void settled();
    void apply(const Reading& reading);
    void watch();

    QString file_;
    QHash<QString, PasteChord> user_;
    std::optional<PasteChord> userDefault_;
    QFileSystemWatcher watcher_;
    QTimer quiet_;
    QElapsedTimer restless_;
    Reading candidate_;
    QSet<QString> reported_;
};
