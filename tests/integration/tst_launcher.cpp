#include "DetachedLauncher.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

namespace {
// A nested dictionary names another executable first; only the top-level key counts.
QByteArray infoPlist(const QByteArray& executable) {
    return "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>\n"
           "<key>CFBundleIdentifier</key><string>co.example.probe</string>\n"
           "<key>Nested</key><dict><key>CFBundleExecutable</key><string>evil</string></dict>\n"
           "<key>LSUIElement</key><true/>\n"
           "<key>CFBundleExecutable</key><string>" +
           executable + "</string>\n</dict></plist>\n";
}
} // namespace

class LauncherTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void launchesTheBundleExecutableOnItsOwn() {
        QTemporaryDir dir;
        const QString bundle = dir.path() + u"/Probe.app"_qs;
        const QString report = dir.path() + u"/report"_qs;
        writeFile(bundle + u"/Contents/Info.plist"_qs, infoPlist("probe"));
        // Reports its pid, its session and where its standard output goes.
        writeFile(bundle + u"/Contents/MacOS/probe"_qs,
                  "#!/bin/sh\nset -- $(cat /proc/$$/stat)\n"
                  "echo \"$1 $6 $(readlink /proc/$$/fd/1)\" > \"" +
                      report.toUtf8() + ".tmp\"\nmv \"" + report.toUtf8() + ".tmp\" \"" +
                      report.toUtf8() + "\"\n",
                  true);
        writeFile(bundle + u"/Contents/MacOS/evil"_qs,
                  "#!/bin/sh\necho evil > \"" + report.toUtf8() + "\"\n", true);
        DetachedLauncher launcher;
        QCOMPARE(launcher.launchApplication(bundle).has_value(), false);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(report), 10000);
        QFile file(report);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> fields = file.readAll().trimmed().split(' ');
        QCOMPARE(fields.size(), 3);
        // A session of its own: the starter's terminal and its end don't reach it.
        QVERIFY(fields[1].toLongLong() != qint64(::getsid(0)));
        QCOMPARE(fields[2], QByteArray("/dev/null"));
    }

    void saysWhyItCannotLaunch_data() {
        QTest::addColumn<QByteArray>("plist");
        QTest::addColumn<bool>("executable");
        QTest::addColumn<bool>("bundleExists");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no bundle")
            << QByteArray() << false << false << u"there is no application"_qs;
        QTest::newRow("no executable named") << QByteArray("<plist><dict></dict></plist>") << true
                                             << true << u"names no executable"_qs;
        QTest::newRow("not executable")
            << infoPlist("probe") << false << true << u"missing or not executable"_qs;
        QTest::newRow("escapes the bundle")
            << infoPlist("../../../bin/sh") << true << true << u"names no executable"_qs;
        QTest::newRow("only a nested dictionary names one")
            << QByteArray("<plist><dict><key>N</key><dict><key>CFBundleExecutable</key>"
                          "<string>probe</string></dict></dict></plist>")
            << true << true << u"names no executable"_qs;
    }
    void saysWhyItCannotLaunch() {
        QFETCH(QByteArray, plist);
        QFETCH(bool, executable);
        QFETCH(bool, bundleExists);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString bundle = dir.path() + u"/Kelmo Helper.app"_qs;
        if (bundleExists) {
            writeFile(bundle + u"/Contents/Info.plist"_qs, plist);
            writeFile(bundle + u"/Contents/MacOS/probe"_qs, "#!/bin/sh\n", executable);
        }
        DetachedLauncher launcher;
        const std::optional<Error> error = launcher.launchApplication(bundle);
        QVERIFY(error.has_value());
        QVERIFY2(error->localizedDescription.contains(reason),
                 qPrintable(error->localizedDescription));
        QVERIFY(error->localizedDescription.contains(u"“Kelmo Helper.app”"_qs) || !bundleExists);
    }
};

QTEST_GUILESS_MAIN(LauncherTest)
#include "tst_launcher.moc"
