#include "PasteChords.h"

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
};

QTEST_GUILESS_MAIN(PasteChordsTest)
#include "tst_pastechords.moc"
