#include "PasteChords.h"

#include "RegularFile.h"
#include "SystemLog.h"
#include "XdgFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <array>
#include <sys/stat.h>
#include <utility>

namespace {
const PasteChord controlV{true, false, false, PasteChord::Key::v};
const PasteChord controlShiftV{true, true, false, PasteChord::Key::v};
const PasteChord controlAltV{true, false, true, PasteChord::Key::v};
const PasteChord shiftInsert{false, true, false, PasteChord::Key::insert};

// Each application's default binding for pasting the clipboard, by the names it gives its windows
// (X11 WM_CLASS instance or class, Wayland app_id), lower case.
const std::array builtIn = {
    // Terminals: Control+V is a character there (readline's quoted insert, a literal ^V).
    std::pair{"gnome-terminal-server", controlShiftV},
    std::pair{"gnome-terminal", controlShiftV},
    std::pair{"org.gnome.terminal", controlShiftV},
    std::pair{"xfce4-terminal", controlShiftV},
    std::pair{"tilix", controlShiftV},
    std::pair{"com.gexperts.tilix", controlShiftV},
    std::pair{"terminator", controlShiftV},
    std::pair{"sakura", controlShiftV},
    std::pair{"lxterminal", controlShiftV},
    std::pair{"qterminal", controlShiftV},
    std::pair{"kitty", controlShiftV},
    std::pair{"alacritty", controlShiftV},
    std::pair{"st", controlShiftV},
    std::pair{"st-256color", controlShiftV},
    std::pair{"foot", controlShiftV},
    std::pair{"footclient", controlShiftV},
    std::pair{"konsole", controlShiftV},
    std::pair{"org.kde.konsole", controlShiftV},
    std::pair{"yakuake", controlShiftV},
    std::pair{"org.kde.yakuake", controlShiftV},
    std::pair{"wezterm", controlShiftV},
    std::pair{"org.wezfurlong.wezterm", controlShiftV},
    std::pair{"terminology", controlShiftV},
    std::pair{"guake", controlShiftV},
    std::pair{"tilda", controlShiftV},
    std::pair{"mate-terminal", controlShiftV},
    std::pair{"kgx", controlShiftV},
    std::pair{"org.gnome.console", controlShiftV},
    std::pair{"ptyxis", controlShiftV},
    std::pair{"org.gnome.ptyxis", controlShiftV},
    std::pair{"ghostty", controlShiftV},
    std::pair{"com.mitchellh.ghostty", controlShiftV},
    std::pair{"cool-retro-term", controlShiftV},
    std::pair{"cool-retro-term.cool-retro-term", controlShiftV},
    std::pair{"deepin-terminal", controlShiftV},
    std::pair{"contour", controlShiftV},
    std::pair{"org.contourterminal.contour", controlShiftV},
    std::pair{"rio", controlShiftV},
    std::pair{"blackbox", controlShiftV},
    std::pair{"blackbox-terminal", controlShiftV},
    std::pair{"com.raggesilver.blackbox", controlShiftV},
    // xterm has no clipboard key by default; the README shows how to bind this one.
    std::pair{"xterm", controlShiftV},
    std::pair{"urxvt", controlAltV},
    std::pair{"rxvt-unicode", controlAltV},
    std::pair{"rxvt", controlAltV},
    // Control+V scrolls in Emacs; Shift+Insert yanks the clipboard.
    std::pair{"emacs", shiftInsert},
};

// More than any hand-written table needs: a larger file is not read.
constexpr qint64 largestFile = 64 * 1024;
// The problems said in one reading, and the most remembered as said.
constexpr int problemsSaidPerReading = 5;
constexpr qsizetype problemsRemembered = 100;
constexpr std::chrono::milliseconds longestWait{1000};
} // namespace

PasteChords::PasteChords(QString settingsFile, std::chrono::milliseconds quiet)
    : file_(std::move(settingsFile)) {
    quiet_.setSingleShot(true);
    quiet_.setInterval(quiet);
    connect(&quiet_, &QTimer::timeout, this, &PasteChords::settled);
    // Each change starts the wait anew, for a second at most: a folder that never rests (the
    // config folder is watched) must not keep the file from being read.
    const auto changed = [this] {
        if (!quiet_.isActive())
            restless_.start();
        if (restless_.elapsed() < longestWait.count())
            quiet_.start();
    };
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, changed);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, changed);
    watch();
    candidate_ = read();
    apply(candidate_);
}

PasteChords::Reading PasteChords::read() const {
    Reading reading;
    if (file_.isEmpty() || !QFile::exists(file_))
        return reading;
    // Read only when it is a regular file: a FIFO or a device would wait for a writer, on the
    // thread that pastes.
    reading.content = RegularFile::read(file_, largestFile, reading.whyNot);
    if (!reading.content)
        reading.whyNot += QStringLiteral(", not read");
    if (struct stat info{}; ::stat(QFile::encodeName(file_).constData(), &info) == 0)
        reading.stamp = {qint64(info.st_dev), qint64(info.st_ino), qint64(info.st_size),
                         qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
                         qint64(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec};
    return reading;
}

// A writer descheduled half way through leaves the file quiet but half written: what is read is
// taken only when a second reading, a quiet interval later, finds the same file unchanged. The
// content alone can't tell: a file rewritten again and again is caught empty, or cut at the same
// page, by many readings.
void PasteChords::settled() {
    watch();
    Reading reading = read();
    if (!(reading == candidate_)) {
        candidate_ = std::move(reading);
        quiet_.start();
        return;
    }
    apply(candidate_);
}

QString PasteChords::defaultSettingsFile() {
    const std::optional<QString> config = xdgConfigHome();
    return config ? *config + QStringLiteral("/Kelmo/paste-keys") : QString();
}

PasteChord PasteChords::chordFor(const QStringList& names) const {
    // The user's lines for any of the names first: X11 gives instance and class, and a line for
    // the class must win over the built-in line for the instance.
    for (const QString& name : names)
        if (const auto mine = user_.constFind(name.toLower()); mine != user_.constEnd())
            return *mine;
    for (const QString& name : names)
        for (const auto& [known, chord] : builtIn)
            if (name.compare(QLatin1String(known), Qt::CaseInsensitive) == 0)
                return chord;
    return userDefault_.value_or(controlV);
}

// The file and the folders up to the config folder, so that a file made, replaced (as editors
// save) or removed later is noticed too; where one is missing, the nearest folder above it. Each
// is watched anew at every reading: a path that became another file, a link or a folder is
// watched as what it is now.
void PasteChords::watch() {
    if (!watcher_.files().isEmpty())
        watcher_.removePaths(watcher_.files());
    if (!watcher_.directories().isEmpty())
        watcher_.removePaths(watcher_.directories());
    if (file_.isEmpty())
        return;
    QString path = QFileInfo(file_).absoluteFilePath();
    for (int level = 0;; ++level) {
        const bool exists = QFileInfo::exists(path);
        if (exists)
            watcher_.addPath(path);
        const QString parent = QFileInfo(path).absolutePath();
        // Up to the config folder, and on while nothing exists yet.
        if (parent == path || (level >= 2 && exists))
            break;
        path = parent;
    }
}

void PasteChords::apply(const Reading& reading) {
    user_.clear();
    userDefault_.reset();
    // Said once each, a few a reading; a file full of bad lines, rewritten again and again, must
    // neither flood standard error nor grow what is remembered without end.
    int said = 0;
    int unsaid = 0;
    const auto report = [&](const QString& problem) {
        if (reported_.contains(problem))
            return;
        if (reported_.size() >= problemsRemembered)
            reported_.clear();
        reported_.insert(problem);
        if (said++ < problemsSaidPerReading)
            SystemLog::printErrorLine(QStringLiteral("%1: %2").arg(file_, problem));
        else
            ++unsaid;
    };
    const auto sayTheRest = qScopeGuard([this, &unsaid] {
        if (unsaid > 0)
            SystemLog::printErrorLine(
                QStringLiteral("%1: %2 more lines are not read either").arg(file_).arg(unsaid));
    });
    if (!reading.whyNot.isEmpty())
        report(reading.whyNot);
    if (!reading.content)
        return;
    const QStringList lines = QString::fromUtf8(*reading.content).split(u'\n');
    for (qsizetype number = 1; number <= lines.size(); ++number) {
        const QString line = lines[number - 1].trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype equals = line.indexOf(u'=');
        const QString name = line.left(equals).trimmed().toLower();
        const std::optional<PasteChord> chord =
            equals > 0 ? PasteChord::parse(QStringView(line).mid(equals + 1)) : std::nullopt;
        if (name.isEmpty() || !chord) {
            QString shown = line.left(200);
            for (QChar& c : shown)
                if (!c.isPrint())
                    c = u'?';
            report(QStringLiteral("line %1 is not `application = chord` with a chord such as "
                                  "Control+Shift+V or Shift+Insert, and is ignored: %2")
                       .arg(number)
                       .arg(shown));
            continue;
        }
        if (name == u"default")
            userDefault_ = chord;
        else
            user_.insert(name, *chord);
    }
}
