#pragma once

#include "Error.h"

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class ApplicationLauncher;
class ErrorPresentation;
class FileManager;
class MainBundle;
class QLabel;
class QPushButton;
class QTabWidget;
class RunningApplications;

namespace Ui {
class ViewController;
}

// What the wizard needs of the platform.
struct InstallerServices {
    RunningApplications& runningApplications;
    FileManager& fileManager;
    MainBundle& mainBundle;
    ApplicationLauncher& launcher;
    ErrorPresentation& errorPresentation;
    // The pause between a copy and the launch; the step waits it out, taking no user input.
    std::function<void(std::chrono::seconds)> sleep;
    // A text key that step 2 adds to its body when access has not come this long after the user
    // asked for it, or none: where the system may show a permission as given that no longer
    // holds, the user learns how to give it again.
    const char* accessMissingHint = nullptr;
    std::chrono::milliseconds accessMissingHintAfter = std::chrono::seconds(30);
    // How long step 2 waits for an agent it started to announce itself before asking it anyway.
    std::chrono::milliseconds helperStartPatience = std::chrono::seconds(10);
};

// The three-step wizard: install the agent, get it the permission to type, done. The tab view's
// page is the whole record of progress.
class ViewController final : public QDialog {
    Q_OBJECT
public:
    explicit ViewController(InstallerServices services, QWidget* parent = nullptr);
    ~ViewController() override;

    // Outlets, connected to the form's objects of the same names.
    QPointer<QTabWidget> tabView;
    QPointer<QWidget> step1TabViewItem;
    QPointer<QWidget> step2TabViewItem;
    QPointer<QWidget> step3TabViewItem;
    QPointer<QLabel> step1TitleLabel;
    QPointer<QLabel> step1BodyLabel;
    QPointer<QPushButton> step1Button;
    QPointer<QLabel> step2TitleLabel;
    QPointer<QLabel> step2BodyLabel;
    QPointer<QPushButton> step2Button;
    QPointer<QLabel> step3TitleLabel;
    QPointer<QPushButton> step3Button;

    // Where the agent bundle goes; makes sure its folder exists. None, after saying why, when
    // there is no Application Support directory or the folder can't be made.
    std::optional<QString> helperInstallURL();
    // Starts the installed agent unless one runs, and shows step 2 once it started; a launch
    // that fails is shown.
    void launchHelper(QObject* sender);
    void presentError(const Error& error);

public Q_SLOTS:
    void installHelper();
    void requestAccess();
    void quit();

private:
    void viewDidLoad();
    void applyLocalizedTexts();
    void makeStepButtonDefault(int step);
    // Replaces an installed agent older than the carried one, ends the old one and starts the
    // new.
    void upgradeHelper(const QString& resource, const QString& location);
    void showAccessMissingHint();
    // An agent announced itself: the one step 2 started and waits for, if it does.
    void helperStarted();
    void askForAccess();

    std::unique_ptr<Ui::ViewController> ui_;
    InstallerServices services_;
    QTimer accessMissingTimer_;
    // Runs while step 2 waits for the agent it started; asks it all the same when it runs out.
    QTimer helperStartTimer_;
};
