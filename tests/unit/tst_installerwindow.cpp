#include "InstallerFakes.h"
#include "LocalizedString.h"
#include "NotificationNames.h"
#include "PosixFileManager.h"
#include "PrivateBus.h"
#include "ResourcesDirectory.h"
#include "TestSupport.h"
#include "ViewController.h"

#include <QApplication>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

namespace {
struct Texts {
    QString step1Title, step1Button, step2Button, step3Title, step3Button, error904;
};

Texts expectedTexts() {
    if (QLocale::system().language() == QLocale::German)
        return {QStringLiteral("Kelmo Helper installieren"),
                QStringLiteral("Installieren"),
                QStringLiteral("Tippen erlauben"),
                QStringLiteral("Fertig. Kelmo kann jetzt für dich einfügen."),
                QStringLiteral("Fertig"),
                QStringLiteral("Dieser Installer ist unvollständig: Kelmo Helper fehlt darin. "
                               "Bitte lade Kelmo erneut herunter.")};
    return {QStringLiteral("Install Kelmo Helper"),
            QStringLiteral("Install"),
            QStringLiteral("Allow Typing"),
            QStringLiteral("All set. Kelmo can paste for you now."),
            QStringLiteral("Done"),
            QStringLiteral("This installer is incomplete: Kelmo Helper is missing from it. Please "
                           "download Kelmo again.")};
}
} // namespace

class InstallerWindowTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        QVERIFY(bus.isRunning());
        installTranslations(QLocale::system());
        peer = std::make_unique<BusPeer>(bus.connection());
        peer->observe({name(NotificationName::shouldStartCheckingForAccess),
                       name(NotificationName::shouldRequestAccess)});
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

    void everyTextIsInPlaceAtLoad() {
        const Texts texts = expectedTexts();
        QCOMPARE(window->step1TitleLabel->text(), texts.step1Title);
        QCOMPARE(window->step1Button->text(), texts.step1Button);
        QCOMPARE(window->step2Button->text(), texts.step2Button);
        QCOMPARE(window->step3TitleLabel->text(), texts.step3Title);
        QCOMPARE(window->step3Button->text(), texts.step3Button);
        // No text shows its key: every key has a text in this language.
        for (QLabel* label : {window->step1TitleLabel.data(), window->step1BodyLabel.data(),
                              window->step2TitleLabel.data(), window->step2BodyLabel.data(),
                              window->step3TitleLabel.data()}) {
            QVERIFY(!label->text().isEmpty());
            QVERIFY2(!label->text().contains(QStringLiteral("STEP")), qPrintable(label->text()));
        }
        QVERIFY(window->step2BodyLabel->wordWrap());
    }

    void stepThreeShowsOnlyItsTitleAndButton() {
        const auto labels = window->step3TabViewItem->findChildren<QLabel*>();
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels.first(), window->step3TitleLabel.data());
        QCOMPARE(window->step3TabViewItem->findChildren<QPushButton*>().size(), 1);
    }

    void opensAtStepOneWithoutTabsToPick() {
        QCOMPARE(window->tabView->currentIndex(), 0);
        QCOMPARE(window->tabView->count(), 3);
        QCOMPARE(window->tabView->widget(0), window->step1TabViewItem.data());
        QCOMPARE(window->tabView->widget(2), window->step3TabViewItem.data());
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
        const qsizetype before = peer->count(name(NotificationName::shouldRequestAccess));
        QTest::keyClick(window.get(), Qt::Key_Return);
        QVERIFY(peer->waitFor(name(NotificationName::shouldRequestAccess), before + 1));
    }

    void accessWasEnabledGoesToStepThreeEveryTime() {
        for (int round = 0; round < 3; ++round) {
            window->tabView->setCurrentIndex(0);
            peer->post(name(NotificationName::accessWasEnabled));
            QTRY_COMPARE(window->tabView->currentIndex(), 2);
            QTRY_VERIFY(window->step3Button->hasFocus());
        }
        // Arriving on step 3 again changes nothing.
        peer->post(name(NotificationName::accessWasEnabled));
        QTRY_COMPARE(window->tabView->currentIndex(), 2);
    }

    void stepTwoWithTheAgentRunningAsksForAccessAndLaunchesNothing() {
        running.running << name(BundleIdentifier::helper);
        window->tabView->setCurrentIndex(1);
        const QStringList before = peer->received();
        window->step2Button->click();
        window->step2Button->click();
        QVERIFY(peer->waitFor(name(NotificationName::shouldRequestAccess),
                              before.count(name(NotificationName::shouldRequestAccess)) + 2));
        QCOMPARE(peer->received().mid(before.size()),
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
        QCOMPARE(errors.presented.first().localizedDescription, expectedTexts().error904);
        QCOMPARE(window->tabView->currentIndex(), 0);
    }

private:
    PrivateBus bus;
    std::unique_ptr<BusPeer> peer;
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
