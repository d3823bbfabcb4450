#include "KWinActiveWindow.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QTemporaryFile>
#include <QTimer>

namespace {
const QString kwinService = QStringLiteral("org.kde.KWin");
const QString objectPath = QStringLiteral("/co/ambertide/KelmoHelper/ActiveWindow");
const QString pluginName = QStringLiteral("co.ambertide.kelmo-helper.active-window");
constexpr int answerTimeoutMs = 2000;
// A KWin still starting with the session is asked again, so often.
constexpr int loadAttempts = 5;
constexpr std::chrono::seconds loadRetryDelay{2};

// %1: the agent's own connection. callDBus waits for nothing.
constexpr char scriptText[] =
    R"(// Tells Kelmo Helper which window is active, to choose its paste chord.
function report(window) {
    callDBus("%1", "%2", "co.ambertide.KelmoHelper.ActiveWindow", "Activated",
             window ? String(window.resourceClass) : "");
}
(workspace.windowActivated || workspace.clientActivated).connect(report);
report(workspace.activeWindow || workspace.activeClient);
)";

QDBusMessage scripting(const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kwinService, QStringLiteral("/Scripting"),
                                       QStringLiteral("org.kde.kwin.Scripting"), method);
    call.setArguments(arguments);
    return call;
}
} // namespace

KWinActiveWindow::KWinActiveWindow(QDBusConnection bus)
    : bus_(std::move(bus))
    , watcher_(new QDBusServiceWatcher(kwinService, bus_, QDBusServiceWatcher::WatchForOwnerChange,
                                       this)) {}

void KWinActiveWindow::start() {
    // Only Plasma runs KWin: elsewhere a process that owns its name is not asked anything.
    if (!qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(u"KDE", Qt::CaseInsensitive))
        return;
    bus_.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) { load(owner); });
    const QDBusReply<QString> owner =
        bus_.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                 QStringLiteral("/org/freedesktop/DBus"),
                                                 QStringLiteral("org.freedesktop.DBus"),
                                                 QStringLiteral("GetNameOwner"))
                      << kwinService,
                  QDBus::Block, answerTimeoutMs);
    if (owner.isValid())
        load(owner.value());
}

KWinActiveWindow::~KWinActiveWindow() {
    unload();
    bus_.unregisterObject(objectPath);
}

QStringList KWinActiveWindow::names() const {
    return active_.isEmpty() ? QStringList() : QStringList{active_};
}

void KWinActiveWindow::Activated(const QString& resourceClass) {
    if (!kwin_.isEmpty() && message().service() == kwin_)
        active_ = resourceClass;
}

// A script left by an agent that didn't end cleanly goes first: KWin refuses a second one of the
// same name. The calls wait briefly, and only at the agent's start or KWin's.
void KWinActiveWindow::load(const QString& kwin, int attempt) {
    kwin_ = kwin;
    active_.clear();
    if (kwin_.isEmpty())
        return;
    if (!script_) {
        script_ = std::make_unique<QTemporaryFile>(QDir::tempPath() +
                                                   QStringLiteral("/kelmo-helper-XXXXXX.js"));
        if (!script_->open() ||
            script_->write(
                QString::fromLatin1(scriptText).arg(bus_.baseService(), objectPath).toUtf8()) < 0 ||
            !script_->flush()) {
            script_.reset();
            return;
        }
    }
    // Asked without waiting: KWin may still be starting with the session, and a load that fails
    // is tried again a few times rather than leaving every terminal a ^V until KWin restarts.
    const auto ask = [this](const QString& method, const QVariantList& arguments) {
        return new QDBusPendingCallWatcher(
            bus_.asyncCall(scripting(method, arguments), answerTimeoutMs), this);
    };
    auto* unloaded = ask(QStringLiteral("unloadScript"), {pluginName});
    connect(unloaded, &QDBusPendingCallWatcher::finished, this, [=, this] {
        unloaded->deleteLater();
        if (kwin_ != kwin || !script_)
            return;
        auto* loaded = ask(QStringLiteral("loadScript"), {script_->fileName(), pluginName});
        connect(loaded, &QDBusPendingCallWatcher::finished, this, [=, this] {
            loaded->deleteLater();
            if (kwin_ != kwin)
                return;
            if (!loaded->isError())
                bus_.send(scripting(QStringLiteral("start")));
            else if (attempt + 1 < loadAttempts)
                QTimer::singleShot(loadRetryDelay, this, [=, this] {
                    if (kwin_ == kwin)
                        load(kwin, attempt + 1);
                });
        });
    });
}

void KWinActiveWindow::unload() {
    if (!kwin_.isEmpty())
        bus_.call(scripting(QStringLiteral("unloadScript"), {pluginName}), QDBus::Block,
                  answerTimeoutMs);
}
