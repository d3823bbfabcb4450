#include "InstallerFakes.h"
#include "LocalizedString.h"
#include "PosixFileManager.h"
#include "ResourcesDirectory.h"
#include "TestSupport.h"
#include "ViewController.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>

// The window in the language of the test's locale (English, and German in a second run).
class InstallerWindowTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        QVERIFY(bus.isRunning());
        installTranslations(QLocale::system());
        QVERIFY(peer.observe({name(NotificationName::shouldStartCheckingForAccess),
                              name(NotificationName::shouldRequestAccess)}));
    }
    void init() {
        running.running.clear();
        launcher.launched.clear();
        errors.presented.clear();
        window = std::make_unique<ViewController>(InstallerServices{
            running, files, noResources, launcher, errors, [](std::chrono::seconds) {
            }});
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }
    void cleanup() { window.reset(); }

    void everyControlShowsItsOwnKeysTextInTheUsersLanguage() {
        const std::pair<QWidget*, const char*> controls[] = {
            {window->step1TitleLabel, "STEP1.TITLE"}, {window->step1BodyLabel, "STEP1.BODY"},
            {window->step1Button, "STEP1.BUTTON"},    {window->step2TitleLabel, "STEP2.TITLE"},
            {window->step2BodyLabel, "STEP2.BODY"},   {window->step2Button, "STEP2.BUTTON"},
            {window->step3TitleLabel, "STEP3.TITLE"}, {window->step3Button, "STEP3.BUTTON"}};
        for (const auto& [control, key] : controls) {
            const auto* label = qobject_cast<QLabel*>(control);
            const QString text =
                label ? label->text() : qobject_cast<QAbstractButton*>(control)->text();
            QCOMPARE(text, qtTrId(key));
            QVERIFY2(text != QLatin1String(key), key);
        }
        const bool german = QLocale::system().language() == QLocale::German;
        QCOMPARE(window->step1Button->text(),
                 german ? QStringLiteral("Installieren") : QStringLiteral("Install"));
        // The wizard opens at step 1, and only its events turn the page.
        QCOMPARE(window->tabView->currentIndex(), 0);
        QVERIFY(!window->tabView->tabBar()->isVisible());
    }

    void returnPressesTheButtonOfTheStepShowing() {
        QVERIFY(window->step1Button->isDefault());
        QTRY_VERIFY(window->step1Button->hasFocus());
        window->tabView->setCurrentIndex(1);
        QVERIFY(window->step2Button->isDefault());
        QVERIFY(!window->step1Button->isDefault());
        QTRY_VERIFY(window->step2Button->hasFocus());

        running.running << name(BundleIdentifier::helper);
        const qsizetype before = peer.count(name(NotificationName::shouldRequestAccess));
        QTest::keyClick(window.get(), Qt::Key_Return);
        QVERIFY(peer.waitFor(name(NotificationName::shouldRequestAccess), before + 1));
    }

    void accessWasEnabledGoesToStepThreeEveryTime() {
        for (int round = 0; round < 3; ++round) {
            window->tabView->setCurrentIndex(round % 2);
            peer.post(name(NotificationName::accessWasEnabled));
            QTRY_COMPARE(window->tabView->currentIndex(), 2);
            QTRY_VERIFY(window->step3Button->hasFocus());
        }
    }

    void stepTwoWithTheAgentRunningAsksForAccessAndLaunchesNothing() {
        running.running << name(BundleIdentifier::helper);
        window->tabView->setCurrentIndex(1);
        const QStringList before = peer.received();
        window->step2Button->click();
        window->step2Button->click();
        QVERIFY(peer.waitFor(name(NotificationName::shouldRequestAccess),
                             before.count(name(NotificationName::shouldRequestAccess)) + 2));
        QCOMPARE(peer.received().mid(before.size()),
                 QStringList({name(NotificationName::shouldStartCheckingForAccess),
                              name(NotificationName::shouldRequestAccess),
                              name(NotificationName::shouldStartCheckingForAccess),
                              name(NotificationName::shouldRequestAccess)}));
        QCOMPARE(launcher.launched, QStringList());
        QCOMPARE(window->tabView->currentIndex(), 1);
    }

    void missingResourceIsErrorNineHundredFour() {
        qputenv("XDG_DATA_HOME", home.path().toUtf8());
        window->step1Button->click();
        QCOMPARE(errors.presented.size(), 1);
        QCOMPARE(errors.presented.first().domain,
                 QStringLiteral("co.ambertide.kelmo-helper-installer"));
        QCOMPARE(errors.presented.first().code, 904);
        QCOMPARE(errors.presented.first().localizedDescription, qtTrId("ERROR.904"));
        QVERIFY(errors.presented.first().localizedDescription.contains(u"Kelmo Helper"));
        QCOMPARE(window->tabView->currentIndex(), 0);
    }

private:
    PrivateBus bus;
    BusPeer peer{bus.connection()};
    QTemporaryDir home;
    FakeRunningApplications running;
    PosixFileManager files;
    ResourcesDirectory noResources{QStringLiteral("/nonexistent/Contents/Resources")};
    RecordingLauncher launcher;
    RecordingErrorPresentation errors;
    std::unique_ptr<ViewController> window;
};

QTEST_MAIN(InstallerWindowTest)
#include "tst_installerwindow.moc"
