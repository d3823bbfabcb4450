#include "PasteChords.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

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

    // Instance or class, exactly and in any case; the user's lines over the built-in ones.
    void namesFindTheirChord() {
        QTemporaryDir folder;
        const QString file = folder.filePath(u"paste-keys"_s);
        QFile settings(file);
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("Konsole = Shift+Insert\n= Control+V\nURxvt = Control+Shift+V\n");
        settings.close();
        const PasteChords chords(file);
        const auto chordOf = [&](const QStringList& names) {
            return chords.chordFor(names).text();
        };
        // The user's line for the class wins over the built-in line for the instance.
        QCOMPARE(chordOf({u"urxvt"_s, u"URxvt"_s}), u"Control+Shift+V"_s);
        QCOMPARE(chordOf({u"org.kde.KONSOLE"_s}), u"Control+Shift+V"_s);
        QCOMPARE(chordOf({u"konsole"_s, u"konsole"_s}), u"Shift+Insert"_s);
        QCOMPARE(chordOf({}), u"Control+V"_s);

        // A FIFO would hold the agent until someone writes to it.
        const QString fifo = folder.filePath(u"fifo"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(PasteChords(fifo).chordFor({u"konsole"_s}).text(), u"Control+Shift+V"_s);
    }

    // The file is followed through what users and editors do to it: the config folder removed
    // and made again, the file turned into a link and back and edited in place, and an editor
    // that rewrites it in place again and again, which is never read half way.
    void changesAreFollowed() {
        QTemporaryDir home;
        const QString config = home.filePath(u"config"_s);
        const QString file = config + u"/Kelmo/paste-keys"_s;
        const auto write = [](const QString& path, const QByteArray& text) { // in place
            QFile out(path);
            return out.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                   out.write(text) == text.size();
        };
        const PasteChords chords(file);
        const auto chordOfX = [&] {
            return chords.chordFor({u"x"_s}).text();
        };
        QVERIFY(QDir().mkpath(config + u"/Kelmo"_s));
        QVERIFY(write(file, "x = Shift+Insert\n"));
        QTRY_COMPARE(chordOfX(), u"Shift+Insert"_s);
        QVERIFY(QDir(config).removeRecursively());
        QTRY_COMPARE(chordOfX(), u"Control+V"_s);
        QVERIFY(QDir().mkpath(config + u"/Kelmo"_s));
        QVERIFY(write(file, "x = Control+Alt+V\n"));
        QTRY_COMPARE(chordOfX(), u"Control+Alt+V"_s);

        const QString other = home.filePath(u"other"_s);
        QVERIFY(write(other, "x = Shift+Insert\n"));
        QVERIFY(QFile::remove(file) && QFile::link(other, file));
        QTRY_COMPARE(chordOfX(), u"Shift+Insert"_s);
        QVERIFY(QFile::remove(file) && write(file, "x = Control+Shift+V\n"));
        QTRY_COMPARE(chordOfX(), u"Control+Shift+V"_s);
        QVERIFY(write(file, "x = Control+Alt+V\n"));
        QTRY_COMPARE(chordOfX(), u"Control+Alt+V"_s);

        // Two thousand saves in place, a millisecond apart: every chord asked meanwhile is the
        // one the file gives.
        const QByteArray table = "# " + QByteArray(8000, '#') + "\nx = Shift+Insert\n";
        QVERIFY(write(file, table));
        QTRY_COMPARE(chordOfX(), u"Shift+Insert"_s);
        QProcess editor;
        editor.start(u"perl"_s,
                     {u"-e"_s,
                      u"my ($f, $t) = @ARGV; for (1 .. 2000) { open(my $o, '>', $f) or "_s
                      u"die; syswrite($o, $t); close $o; select(undef, undef, undef, 0.001) }"_s,
                      file, QString::fromLatin1(table)});
        QVERIFY(editor.waitForStarted());
        int asked = 0;
        QStringList wrong;
        while (editor.state() != QProcess::NotRunning) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            ++asked;
            if (const QString chord = chordOfX(); chord != u"Shift+Insert")
                wrong << chord;
        }
        QCOMPARE(editor.exitCode(), 0);
        QVERIFY2(wrong.isEmpty(), qPrintable(u"%1 of %2"_s.arg(wrong.size()).arg(asked)));
        QCOMPARE(chordOfX(), u"Shift+Insert"_s);
    }
};

QTEST_GUILESS_MAIN(PasteChordsTest)
#include "tst_pastechords.moc"
