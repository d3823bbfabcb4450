#include "ViewController.h"

#include "ApplicationLauncher.h"
#include "BundleVersion.h"
#include "DarwinNotificationsManager.h"
#include "ErrorPresentation.h"
#include "FileManager.h"
#include "LocalizedString.h"
#include "MainBundle.h"
#include "NotificationNames.h"
#include "RunningApplications.h"
#include "ui_ViewController.h"

#include <QCoreApplication>
#include <QTabBar>

namespace {
const QString productName = QStringLiteral("Kelmo");
const QString helperName = QStringLiteral("Kelmo Helper");
const QString folderPiece = QLatin1Char('/') + productName;
const QString bundlePiece = QLatin1Char('/') + helperName + QStringLiteral(".app");
const QString resourceExtension = QStringLiteral("app");
// The installer's errors of its own: its resources lack the agent bundle; an old agent won't end.
constexpr int helperMissingCode = 904;
constexpr int oldHelperRunsCode = 905;
constexpr std::chrono::seconds waitBeforeLaunch{1};
// How long an old agent may take to end after shouldTerminate, in checks a second apart.
constexpr int checksForOldHelperToEnd = 5;
constexpr int step2 = 1;
constexpr int step3 = 2;
} // namespace

ViewController::ViewController(InstallerServices services, QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::ViewController>())
    , services_(std::move(services)) {
    ui_->setupUi(this);
    tabView = ui_->tabView;
    step1TabViewItem = ui_->step1TabViewItem;
    step2TabViewItem = ui_->step2TabViewItem;
    step3TabViewItem = ui_->step3TabViewItem;
    step1TitleLabel = ui_->step1TitleLabel;
    step1BodyLabel = ui_->step1BodyLabel;
    step1Button = ui_->step1Button;
    step2TitleLabel = ui_->step2TitleLabel;
    step2BodyLabel = ui_->step2BodyLabel;
    step2Button = ui_->step2Button;
    step3TitleLabel = ui_->step3TitleLabel;
    step3Button = ui_->step3Button;

    // A wizard: the steps change by what happens, never by the user picking a tab.
    tabView->tabBar()->hide();
    tabView->setStyleSheet(QStringLiteral("QTabWidget::pane { border: 0; }"));
    connect(tabView, &QTabWidget::currentChanged, this, &ViewController::makeStepButtonDefault);
    makeStepButtonDefault(tabView->currentIndex());
    accessMissingTimer_.setSingleShot(true);
    connect(&accessMissingTimer_, &QTimer::timeout, this, &ViewController::showAccessMissingHint);
    helperStartTimer_.setSingleShot(true);
    connect(&helperStartTimer_, &QTimer::timeout, this, &ViewController::askForAccess);
    viewDidLoad();
}

ViewController::~ViewController() = default;

void ViewController::viewDidLoad() {
    applyLocalizedTexts();
    // The manager keeps the blocks for the whole run; they must not outlive this window unsafely.
    // Should the bus refuse, its center has said so on standard error; the steps before the
    // last still work.
    auto& manager = DarwinNotificationsManager::sharedInstance();
    [[maybe_unused]] const bool observing =
        manager.registerForNotificationName(QString::fromLatin1(NotificationName::accessWasEnabled),
                                            [self = QPointer<ViewController>(this)] {
                                                if (self)
                                                    self->tabView->setCurrentIndex(step3);
                                            });
    [[maybe_unused]] const bool hearingStarts = manager.registerForNotificationName(
        QString::fromLatin1(NotificationName::didFinishLaunching),
        [self = QPointer<ViewController>(this)] {
            if (self)
                self->helperStarted();
        });
}

void ViewController::applyLocalizedTexts() {
    step1TitleLabel->setText(localizedString("STEP1.TITLE"));
    step1BodyLabel->setText(localizedString("STEP1.BODY"));
    step1Button->setText(localizedString("STEP1.BUTTON"));
    step2TitleLabel->setText(localizedString("STEP2.TITLE"));
    step2BodyLabel->setText(localizedString("STEP2.BODY"));
    step2Button->setText(localizedString("STEP2.BUTTON"));
    step3TitleLabel->setText(localizedString("STEP3.TITLE"));
    step3Button->setText(localizedString("STEP3.BUTTON"));
}

void ViewController::makeStepButtonDefault(int step) {
    QPushButton* const buttons[] = {step1Button, step2Button, step3Button};
    if (step < 0 || step >= 3)
        return;
    // Return presses the button of the step that shows, and the keyboard is on it.
    buttons[step]->setDefault(true);
    buttons[step]->setFocus();
}

std::optional<QString> ViewController::helperInstallURL() {
    FileManager& files = services_.fileManager;
    Error error;
    const std::optional<QString> applicationSupport = files.applicationSupportDirectory(error);
    if (!applicationSupport) {
        presentError(error);
        return std::nullopt;
    }
    const QString folder = *applicationSupport + folderPiece;
    if (!files.fileExistsAtPath(folder)) {
        // Nothing can be in a folder that couldn't be made: one message says it all.
        if (const std::optional<Error> failure = files.createDirectoryAtPath(folder)) {
            presentError(*failure);
            return std::nullopt;
        }
    }
    return folder + bundlePiece;
}

void ViewController::launchHelper(QObject*) {
    if (services_.runningApplications.isRunning(QString::fromLatin1(BundleIdentifier::helper))) {
        tabView->setCurrentIndex(step2);
        return;
    }
    const std::optional<QString> location = helperInstallURL();
    if (!location)
        return;
    services_.launcher.launchApplication(
        *location, [self = QPointer<ViewController>(this)](std::optional<Error> failure) {
            // The window may have been closed while the desktop started the agent.
            if (!self)
                return;
            if (failure)
                self->presentError(*failure);
            else
                self->tabView->setCurrentIndex(step2);
        });
}

void ViewController::installHelper() {
    const std::optional<QString> location = helperInstallURL();
    if (!location)
        return;
    FileManager& files = services_.fileManager;
    const std::optional<QString> resource =
        services_.mainBundle.pathForResource(helperName, resourceExtension);
    if (files.fileExistsAtPath(*location)) {
        // What is there stays, unless it is older than what this installer carries: an upgraded
        // installer must not leave the user's agent behind for good.
        if (resource &&
            isOlderBundleVersion(files.bundleVersion(*location), files.bundleVersion(*resource)))
            upgradeHelper(*resource, *location);
        else
            launchHelper(this);
        return;
    }
    if (!resource) {
        presentError({QString::fromLatin1(BundleIdentifier::installer), helperMissingCode,
                      localizedString("ERROR.904")});
        return;
    }
    if (const std::optional<Error> failure = files.copyItem(*resource, *location)) {
        // Another installer may have put the agent there meanwhile: then it is installed.
        if (!files.fileExistsAtPath(*location)) {
            presentError(*failure);
            return;
        }
    }
    services_.sleep(waitBeforeLaunch);
    launchHelper(this);
}

void ViewController::upgradeHelper(const QString& resource, const QString& location) {
    // The old agent runs from the bundle it was started from: it ends first, so that one that
    // won't leaves everything as it was, and Install can simply be pressed again.
    const QString helperId = QString::fromLatin1(BundleIdentifier::helper);
    RunningApplications& running = services_.runningApplications;
    if (running.isRunning(helperId)) {
        auto& manager = DarwinNotificationsManager::sharedInstance();
        manager.postNotificationWithName(QString::fromLatin1(NotificationName::shouldTerminate));
        for (int check = 0; check < checksForOldHelperToEnd && running.isRunning(helperId); ++check)
            services_.sleep(waitBeforeLaunch);
        if (running.isRunning(helperId)) {
            presentError({QString::fromLatin1(BundleIdentifier::installer), oldHelperRunsCode,
                          localizedString("ERROR.905")});
            return;
        }
    }
    if (const std::optional<Error> failure =
            services_.fileManager.replaceItem(resource, location)) {
        presentError(*failure);
        return;
    }
    services_.sleep(waitBeforeLaunch);
    launchHelper(this);
}

void ViewController::requestAccess() {
    if (services_.runningApplications.isRunning(QString::fromLatin1(BundleIdentifier::helper))) {
        askForAccess();
        return;
    }
    // Posts are kept for no one: an agent started now hears them only once it has subscribed,
    // which it says with didFinishLaunching. One that stays silent is asked all the same; a start
    // that fails shows its error, which ends the wait.
    helperStartTimer_.start(services_.helperStartPatience);
    launchHelper(this);
}

void ViewController::helperStarted() {
    if (!helperStartTimer_.isActive())
        return;
    helperStartTimer_.stop();
    askForAccess();
}

void ViewController::askForAccess() {
    auto& manager = DarwinNotificationsManager::sharedInstance();
    manager.postNotificationWithName(
        QString::fromLatin1(NotificationName::shouldStartCheckingForAccess));
    manager.postNotificationWithName(QString::fromLatin1(NotificationName::shouldRequestAccess));
    if (services_.accessMissingHint)
        accessMissingTimer_.start(services_.accessMissingHintAfter);
}

void ViewController::showAccessMissingHint() {
    if (tabView->currentIndex() != step2)
        return;
    step2BodyLabel->setText(localizedString("STEP2.BODY") + QStringLiteral("\n\n") +
                            localizedString(services_.accessMissingHint));
}

void ViewController::quit() {
    QCoreApplication::quit();
}

void ViewController::presentError(const Error& error) {
    // A step that failed waits for no agent: the box may stay open longer than the wait.
    helperStartTimer_.stop();
    services_.errorPresentation.presentError(this, error);
}
