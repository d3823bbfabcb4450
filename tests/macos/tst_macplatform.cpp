// The real macOS platform classes, in what they can do without the Accessibility permission and
// without typing into whatever window is in front.
#include "AgentPlatform.h"
#include "CGEventKeyboard.h"
#include "CocoaFileManager.h"
#include "DarwinNotificationsManager.h"
#include "WorkspaceRunningApplications.h"

#include <ApplicationServices/ApplicationServices.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class MacPlatformTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Through the machine-wide center and back on the main run loop, under a name of this run's
    // own so that no agent on the machine acts on it.
    void aSelfPostedNotificationComesBack() {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        const QString name =
            u"co.ambertide.kelmo-helper.test.%1"_s.arg(QCoreApplication::applicationPid());
        // The manager keeps the block for the whole run.
        static int received = 0;
        QVERIFY(manager.registerForNotificationName(name, [] { ++received; }));
        manager.postNotificationWithName(name);
        QTRY_COMPARE(received, 1);
    }

    void thePasteEventsAreTheVKeyWithCommandAlone() {
        CGEventKeyboard keyboard;
        for (const bool keyDown : {true, false}) {
            QString whyNot;
            std::optional<KeyboardEvent> event =
                keyboard.createKeyboardEvent(Quartz::kVK_ANSI_V, keyDown, whyNot);
            QVERIFY2(event, qPrintable(whyNot));
            event->flags = Quartz::kCGEventFlagMaskCommand;
            auto* cgEvent =
                static_cast<CGEventRef>(const_cast<void*>(CGEventKeyboard::preparedEvent(*event)));
            QCOMPARE(CGEventGetIntegerValueField(cgEvent, kCGKeyboardEventKeycode),
                     std::int64_t(9));
            QCOMPARE(CGEventGetFlags(cgEvent), kCGEventFlagMaskCommand);
            QCOMPARE(CGEventGetType(cgEvent), keyDown ? kCGEventKeyDown : kCGEventKeyUp);
        }
    }

    void copiesWholeAndNeverReplaces() {
        CocoaFileManager files;
        Error error;
        const std::optional<QString> support = files.applicationSupportDirectory(error);
        QVERIFY2(support && support->endsWith(u"/Library/Application Support"_s),
                 qPrintable(error.localizedDescription));

        QTemporaryDir folder;
        const QString source = folder.filePath(u"Source.app"_s);
        const QString target = folder.filePath(u"Target.app"_s);
        QVERIFY(QDir().mkpath(source + u"/Contents/MacOS"_s));
        QFile program(source + u"/Contents/MacOS/program"_s);
        QVERIFY(program.open(QIODevice::WriteOnly));
        program.write("first");
        program.close();

        QVERIFY(!files.copyItem(source, target));
        QVERIFY(files.fileExistsAtPath(target + u"/Contents/MacOS/program"_s));
        QVERIFY(program.open(QIODevice::WriteOnly | QIODevice::Truncate));
        program.write("second");
        program.close();
        QVERIFY(files.copyItem(source, target).has_value());
        QFile copied(target + u"/Contents/MacOS/program"_s);
        QVERIFY(copied.open(QIODevice::ReadOnly));
        QCOMPARE(copied.readAll(), QByteArray("first"));
        QCOMPARE(
            QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList({u"Source.app"_s, u"Target.app"_s}));
    }

    void findsFinderRunningAndNoSuchApplication() {
        WorkspaceRunningApplications applications;
        QVERIFY(applications.isRunning(u"com.apple.finder"_s));
        QVERIFY(!applications.isRunning(u"co.ambertide.no-such-application"_s));
    }
};

int main(int argc, char** argv) {
    prepareAgentProcess();
    QCoreApplication app(argc, argv);
    MacPlatformTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_macplatform.moc"
