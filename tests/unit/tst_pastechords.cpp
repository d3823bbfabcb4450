#include "PasteChords.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

// Writes in place, as an editor that keeps the file's identity does.
static bool write(const QString& path, const QByteArray& text) {
    QFile out(path);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(text) == text.size();
}

// How a chord is written, and how the table answers for the names an application gives.
class PasteChordsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void chordsAsWritten_data() {
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("read"); // empty: refused
        QTest::newRow("terminal") << u" ctrl + SHIFT+v "_s << u"Control+Shift+V"_s;
        QTest::newRow("URxvt, any order") << u"Alt+Control+V"_s << u"Control+Alt+V"_s;
        QTest::newRow("Emacs") << u"shift+insert"_s << u"Shift+Insert"_s;
        QTest::newRow("a bare key types a letter") << u"V"_s << QString();
        QTest::newRow("Shift+V types a capital") << u"Shift+V"_s << QString();
        QTest::newRow("Shift+Alt+V types text too") << u"Shift+Alt+V"_s << QString();
        QTest::newRow("a modifier twice") << u"Control+Control+V"_s << QString();
        QTest::newRow("another key") << u"Control+Y"_s << QString();
        QTest::newRow("no key") << u"Control+"_s << QString();
    }
    void chordsAsWritten() {
        QFETCH(QString, written);
        QFETCH(QString, read);
        const std::optional<PasteChord> chord = PasteChord::parse(written);
        QCOMPARE(chord ? chord->text() : QString(), read);
    }

    // Instance or class, exactly and in any case; the user's line for either over the built-in one.
    void namesFindTheirChord() {
        QTemporaryDir folder;
        const QString file = folder.filePath(u"paste-keys"_s);
        QVERIFY(write(file, "Konsole = Shift+Insert\n= Control+V\nURxvt = Control+Shift+V\n"));
        const PasteChords chords(file);
        QCOMPARE(chords.chordFor({u"urxvt"_s, u"URxvt"_s}).text(), u"Control+Shift+V"_s);
        QCOMPARE(chords.chordFor({u"org.kde.KONSOLE"_s}).text(), u"Control+Shift+V"_s);
        QCOMPARE(chords.chordFor({u"konsole"_s, u"konsole"_s}).text(), u"Shift+Insert"_s);
        QCOMPARE(chords.chordFor({}).text(), u"Control+V"_s);

        // A FIFO would hold the agent until someone writes to it.
        const QString fifo = folder.filePath(u"fifo"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(PasteChords(fifo).chordFor({u"konsole"_s}).text(), u"Control+Shift+V"_s);
    }

    // The file is followed through the config folder removed and made again, the file made a link
    // and back, edits in place, and an editor rewriting it over and over (never read half way).
    void changesAreFollowed() {
        QTemporaryDir home;
        const QString config = home.filePath(u"config"_s);
        const QString file = config + u"/Kelmo/paste-keys"_s;
        const PasteChords chords(file);
        const QStringList x{u"x"_s};
        QVERIFY(QDir().mkpath(config + u"/Kelmo"_s) && write(file, "x = Shift+Insert\n"));
        QTRY_COMPARE(chords.chordFor(x).text(), u"Shift+Insert"_s);
        QVERIFY(QDir(config).removeRecursively());
        QTRY_COMPARE(chords.chordFor(x).text(), u"Control+V"_s);
        QVERIFY(QDir().mkpath(config + u"/Kelmo"_s) && write(file, "x = Control+Alt+V\n"));
        QTRY_COMPARE(chords.chordFor(x).text(), u"Control+Alt+V"_s);

        const QString other = home.filePath(u"other"_s);
        QVERIFY(write(other, "x = Shift+Insert\n"));
        QVERIFY(QFile::remove(file) && QFile::link(other, file));
        QTRY_COMPARE(chords.chordFor(x).text(), u"Shift+Insert"_s);
        QVERIFY(QFile::remove(file) && write(file, "x = Control+Shift+V\n"));
        QTRY_COMPARE(chords.chordFor(x).text(), u"Control+Shift+V"_s);
        QVERIFY(write(file, "x = Control+Alt+V\n"));
        QTRY_COMPARE(chords.chordFor(x).text(), u"Control+Alt+V"_s);

        // 2000 saves in place, 1 ms apart: every chord asked meanwhile is the one the file gives.
        const QByteArray table = "# " + QByteArray(8000, '#') + "\nx = Shift+Insert\n";
        QVERIFY(write(file, table));
        QTRY_COMPARE(chords.chordFor(x).text(), u"Shift+Insert"_s);
        QProcess editor;
        editor.start(u"perl"_s,
                     {u"-e"_s,
                      u"my ($f, $t) = @ARGV; for (1 .. 2000) { open(my $o, '>', $f) or "_s
                      u"die; syswrite($o, $t); close $o; select(undef, undef, undef, 0.001) }"_s,
                      file, QString::fromLatin1(table)});
        QVERIFY(editor.waitForStarted());
        QStringList wrong;
        while (editor.state() != QProcess::NotRunning) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (const QString chord = chords.chordFor(x).text(); chord != u"Shift+Insert")
                wrong << chord;
        }
        QCOMPARE(editor.exitCode(), 0);
        QCOMPARE(wrong, QStringList());
    }
};

QTEST_GUILESS_MAIN(PasteChordsTest)
#include "tst_pastechords.moc"
