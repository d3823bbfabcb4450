#include "SwayDesktop.h"

#include "DesktopProcesses.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <csignal>
#include <unistd.h>

using DesktopProcesses::stop;
using DesktopProcesses::waitFor;

namespace {
constexpr int startTimeoutMs = 20000;
// Who runs sway when the tests run as root.
constexpr uid_t nobody = 65534;

} // namespace

SwayDesktop::SwayDesktop(const QStringList& fieldArguments) {
    start(fieldArguments);
}

SwayDesktop::~SwayDesktop() {
    field_.stop();
    stop(keyboard_);
    stop(sway_);
}

bool SwayDesktop::installed() {
    for (const char* program : {"sway", "wtype", "wl-copy"})
        if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
            return false;
    return true;
}

QProcessEnvironment SwayDesktop::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("KELMO_INPUT_BACKEND"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root_.filePath(QStringLiteral("rt")));
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), display_);
    env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    return env;
}

bool SwayDesktop::fail(const QString& why) {
    whyNot_ = why;
    return false;
}

bool SwayDesktop::start(const QStringList& fieldArguments) {
    const QString runtime = root_.filePath(QStringLiteral("rt"));
    const QString config = root_.filePath(QStringLiteral("config"));
    QFile configFile(config);
    if (!root_.isValid() || !QDir().mkdir(runtime) || !configFile.open(QIODevice::WriteOnly) ||
        configFile.write("output HEADLESS-1 resolution 1024x768\n") < 0)
        return fail(QStringLiteral("cannot write sway's files"));
    configFile.close();
    // sway refuses to run as root: then an unprivileged user runs it, in a runtime folder of its
    // own; clients running as root may still connect.
    QFile::setPermissions(root_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(config, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (::getuid() == 0 && ::chown(QFile::encodeName(runtime).constData(), nobody, nobody) != 0)
        return fail(QStringLiteral("cannot hand the runtime folder to an unprivileged user"));
    if (!startCompositor())
        return false;
    keyboard_.setProcessEnvironment(environment());
    keyboard_.start(QStringLiteral("wtype"), {QStringLiteral("-s"), QStringLiteral("600000")});
    field_.start(QStringLiteral(KELMO_DEMO_TEXTFIELD), environment(), fieldArguments,
                 root_.filePath(QStringLiteral("field.log")));
    if (!waitForFieldLine(QStringLiteral("ready"), startTimeoutMs) ||
        !waitFor([&] { return focusedApplication() == QStringLiteral("demo-textfield"); },
                 startTimeoutMs))
        return fail(QStringLiteral("the text field did not start or got no focus; see %1")
                        .arg(root_.filePath(QStringLiteral("field.log"))));
    return true;
}

QString SwayDesktop::fieldState() const {
    return field_.running()
               ? field_.state()
               : field_.state() + QStringLiteral("; sway: ") +
                     DesktopProcesses::tailOf(root_.filePath(QStringLiteral("sway.log")));
}

// sway in the runtime folder, and the name of the socket it listens on.
bool SwayDesktop::startCompositor() {
    const QString runtime = root_.filePath(QStringLiteral("rt"));
    const QString config = root_.filePath(QStringLiteral("config"));
    const bool root = ::getuid() == 0;
    QProcessEnvironment swayEnv;
    swayEnv.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    swayEnv.insert(QStringLiteral("HOME"), root_.path());
    swayEnv.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    swayEnv.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
    swayEnv.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
    swayEnv.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
    sway_.setProcessEnvironment(swayEnv);
    sway_.setProcessChannelMode(QProcess::MergedChannels);
    sway_.setStandardOutputFile(root_.filePath(QStringLiteral("sway.log")), QIODevice::Append);
    const QStringList swayArguments{QStringLiteral("sway"), QStringLiteral("-c"), config};
    if (root)
        sway_.start(QStringLiteral("setpriv"),
                    QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                QStringLiteral("--clear-groups")} +
                        swayArguments);
    else
        sway_.start(swayArguments.first(), swayArguments.mid(1));
    const auto socket = [&] {
        const QStringList sockets =
            QDir(runtime).entryList({QStringLiteral("wayland-*")}, QDir::System | QDir::Files);
        for (const QString& name : sockets)
            if (!name.endsWith(QStringLiteral(".lock")))
                return name;
        return QString();
    };
    if (!waitFor([&] { return !socket().isEmpty() || sway_.state() == QProcess::NotRunning; },
                 startTimeoutMs) ||
        socket().isEmpty())
        return fail(QStringLiteral("sway did not start; see %1")
                        .arg(root_.filePath(QStringLiteral("sway.log"))));
    display_ = socket();
    // Its socket is there before it serves clients; its answer says it does.
    if (!waitFor([&] { return !ask(QStringLiteral("get_version")).isEmpty(); }, startTimeoutMs))
        return fail(QStringLiteral("sway does not answer; see %1")
                        .arg(root_.filePath(QStringLiteral("sway.log"))));
    return true;
}

bool SwayDesktop::restartCompositor() {
    stop(sway_);
    // A killed compositor leaves its sockets behind, which would pass for the new one's.
    QDir runtime(root_.filePath(QStringLiteral("rt")));
    for (const QString& name :
         runtime.entryList({QStringLiteral("wayland-*"), QStringLiteral("sway-ipc.*")},
                           QDir::System | QDir::Files))
        runtime.remove(name);
    return startCompositor();
}

bool SwayDesktop::copy(const QString& text) {
    return DesktopProcesses::copy(environment(), text);
}

// What sway's IPC says to a request of `type`; empty while it doesn't answer.
QByteArray SwayDesktop::ask(const QString& type, const QString& command) const {
    const QStringList sockets = QDir(root_.filePath(QStringLiteral("rt")))
                                    .entryList({QStringLiteral("sway-ipc.*")}, QDir::System);
    if (sockets.isEmpty())
        return {};
    QStringList arguments{QStringLiteral("-s"),
                          root_.filePath(QStringLiteral("rt/")) + sockets.first(),
                          QStringLiteral("-t"), type};
    if (!command.isEmpty())
        arguments << command;
    QProcess answer;
    answer.start(QStringLiteral("swaymsg"), arguments);
    return answer.waitForFinished(5000) && answer.exitCode() == 0 ? answer.readAllStandardOutput()
                                                                  : QByteArray();
}

bool SwayDesktop::focus(const QString& appId) const {
    return !ask(QStringLiteral("command"), QStringLiteral("[app_id=\"%1\"] focus").arg(appId))
                .isEmpty();
}

// The app_id of the window with the keyboard focus, as sway's tree says; empty for none.
QString SwayDesktop::focusedApplication() const {
    std::function<QString(const QJsonObject&)> focused = [&](const QJsonObject& node) {
        if (node.value(QStringLiteral("focused")).toBool())
            return node.value(QStringLiteral("app_id")).toString();
        for (const char* kind : {"nodes", "floating_nodes"})
            for (const QJsonValue child : node.value(QLatin1String(kind)).toArray())
                if (QString found = focused(child.toObject()); !found.isEmpty())
                    return found;
        return QString();
    };
    return focused(QJsonDocument::fromJson(ask(QStringLiteral("get_tree"))).object());
}

void SwayDesktop::killCompositor() {
    if (sway_.state() != QProcess::NotRunning)
        ::kill(pid_t(sway_.processId()), SIGKILL);
}
