#include "GnomeDesktop.h"

#include "DesktopProcesses.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStandardPaths>
#include <QUuid>
#include <csignal>
#include <unistd.h>

using DesktopProcesses::stop;
using DesktopProcesses::tailOf;
using DesktopProcesses::waitFor;

namespace {
// Start-up takes 1-2 s alone, and up to 25 s on a loaded machine.
constexpr int startTimeoutMs = 60000;
constexpr uid_t nobody = 65534;
const QString socketName = QStringLiteral("kelmo-gnome");
const QString shellName = QStringLiteral("org.gnome.Shell");

bool copyFolder(const QString& from, const QString& to) {
    if (!QDir().mkpath(to))
        return false;
    for (const QString& name : QDir(from).entryList(QDir::Files))
        if (!QFile::copy(from + u'/' + name, to + u'/' + name))
            return false;
    return true;
}

// Everything under `path` to the Shell's user, when the tests run as root.
bool handOver(const QString& path) {
    if (::getuid() != 0)
        return true;
    bool handed = ::chown(QFile::encodeName(path).constData(), nobody, nobody) == 0;
    QDirIterator inside(path, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
    while (inside.hasNext())
        handed =
            ::chown(QFile::encodeName(inside.next()).constData(), nobody, nobody) == 0 && handed;
    return handed;
}
} // namespace

QString GnomeDesktop::busPolicy() {
    return QStringLiteral("<policy context=\"default\"><allow user=\"*\"/></policy>");
}

QString GnomeDesktop::portalServices(const QString& folder) {
    for (const char* service :
         {"org.freedesktop.portal.Desktop", "org.freedesktop.impl.portal.desktop.gnome",
          "org.freedesktop.impl.portal.PermissionStore"})
        QFile::copy(
            QStringLiteral("/usr/share/dbus-1/services/%1.service").arg(QLatin1String(service)),
            QStringLiteral("%1/%2.service").arg(folder, QLatin1String(service)));
    return QStringLiteral("<servicedir>%1</servicedir>").arg(folder);
}

bool GnomeDesktop::installed() {
    return !QStandardPaths::findExecutable(QStringLiteral("gnome-shell")).isEmpty();
}

int GnomeDesktop::shellMajor() {
    QProcess shell;
    shell.start(QStringLiteral("gnome-shell"), {QStringLiteral("--version")});
    if (!shell.waitForFinished(10000))
        return 0;
    // "GNOME Shell 48.7"
    const QByteArray version = shell.readAllStandardOutput().trimmed();
    return version.mid(version.lastIndexOf(' ') + 1).split('.').value(0).toInt();
}

QString GnomeDesktop::agentExtension() {
    return QStringLiteral(KELMO_GNOME_EXTENSION);
}

GnomeDesktop::GnomeDesktop(const QStringList& fieldArguments, bool withAgentExtension)
    : withAgentExtension_(withAgentExtension) {
    start(fieldArguments);
}

GnomeDesktop::~GnomeDesktop() {
    field_.stop();
    stop(shell_);
    stop(systemBus_);
    if (!busName_.isEmpty())
        QDBusConnection::disconnectFromBus(busName_);
}

bool GnomeDesktop::fail(const QString& why) {
    whyNot_ = why;
    return false;
}

QProcessEnvironment GnomeDesktop::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("KELMO_INPUT_BACKEND"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root_.filePath(QStringLiteral("rt")));
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), socketName);
    env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress_);
    return env;
}

bool GnomeDesktop::start(const QStringList& fieldArguments) {
    busAddress_ = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    busName_ = QUuid::createUuid().toString();
    if (!QDBusConnection::connectToBus(busAddress_, busName_).isConnected())
        return fail(QStringLiteral("cannot join the session bus %1").arg(busAddress_));
    const QString home = root_.filePath(QStringLiteral("home"));
    const QString extensions = home + QStringLiteral("/.local/share/gnome-shell/extensions/");
    const QString settings = home + QStringLiteral("/.config/glib-2.0/settings/keyfile");
    const QString runtime = root_.filePath(QStringLiteral("rt"));
    QFile::setPermissions(root_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadOther | QFile::ExeOther);
    // Enabled before the Shell starts, as a user's earlier session would have left them; the
    // keyfile backend needs no dconf service on the bus.
    if ((withAgentExtension_ &&
         !copyFolder(QStringLiteral(KELMO_GNOME_EXTENSION),
                     extensions + QStringLiteral(KELMO_GNOME_EXTENSION_UUID))) ||
        !copyFolder(QStringLiteral(KELMO_GNOME_TEST_EXTENSION),
                    extensions + QStringLiteral("kelmo-test-desktop@ambertide.co")) ||
        !QDir().mkpath(QFileInfo(settings).path()) || !QDir().mkdir(runtime))
        return fail(QStringLiteral("cannot write the Shell's files"));
    QFile keyfile(settings);
    if (!keyfile.open(QIODevice::WriteOnly) ||
        keyfile.write("[org/gnome/shell]\n"
                      "enabled-extensions=['" KELMO_GNOME_EXTENSION_UUID
                      "', 'kelmo-test-desktop@ambertide.co']\n"
                      "welcome-dialog-last-shown-version='999'\n") < 0)
        return fail(QStringLiteral("cannot write the Shell's settings"));
    keyfile.close();
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!handOver(home) || !handOver(runtime))
        return fail(QStringLiteral("cannot hand the Shell's folders to an unprivileged user"));

    // Without a system bus the Shell ends two seconds in; an empty one is enough.
    const QString systemConfig = root_.filePath(QStringLiteral("system.conf"));
    QFile config(systemConfig);
    if (!config.open(QIODevice::WriteOnly) ||
        config.write(QStringLiteral("<busconfig><type>system</type><listen>unix:path=%1</listen>"
                                    "<auth>EXTERNAL</auth>%2<policy context=\"default\">"
                                    "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                    "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                                    "</busconfig>")
                         .arg(root_.filePath(QStringLiteral("system_bus")), busPolicy())
                         .toUtf8()) < 0)
        return fail(QStringLiteral("cannot write the system bus's configuration"));
    config.close();
    systemBus_.setStandardOutputFile(QProcess::nullDevice());
    systemBus_.setStandardErrorFile(QProcess::nullDevice());
    systemBus_.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--config-file=") + systemConfig, QStringLiteral("--nofork")});
    if (!waitFor([&] { return QFile::exists(root_.filePath(QStringLiteral("system_bus"))); },
                 startTimeoutMs))
        return fail(QStringLiteral("the system bus did not start"));
    if (!startShell())
        return false;
    // Services the bus starts from now on (the desktop portal) join this desktop.
    qDBusRegisterMetaType<QMap<QString, QString>>();
    QDBusMessage activation = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("UpdateActivationEnvironment"));
    QMap<QString, QString> joining;
    for (const char* name :
         {"XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"})
        joining.insert(QLatin1String(name), environment().value(QLatin1String(name)));
    activation << QVariant::fromValue(joining);
    if (QDBusConnection(busName_).call(activation).type() != QDBusMessage::ReplyMessage)
        return fail(QStringLiteral("the bus does not take the desktop's environment"));
    fieldArguments_ = fieldArguments;
    return startField();
}

bool GnomeDesktop::startField() {
    field_.start(QStringLiteral(KELMO_DEMO_TEXTFIELD), environment(), fieldArguments_,
                 root_.filePath(QStringLiteral("field.log")));
    if (!waitForFieldLine(QStringLiteral("ready"), startTimeoutMs) ||
        !focus(QStringLiteral("demo-textfield")))
        return fail(QStringLiteral("the text field did not start or got no focus; see %1")
                        .arg(root_.filePath(QStringLiteral("field.log"))));
    return true;
}

bool GnomeDesktop::startShell() {
    const QString home = root_.filePath(QStringLiteral("home"));
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root_.filePath(QStringLiteral("rt")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("keyfile"));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress_);
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + root_.filePath(QStringLiteral("system_bus")));
    shell_.setProcessEnvironment(env);
    shell_.setProcessChannelMode(QProcess::MergedChannels);
    shell_.setStandardOutputFile(root_.filePath(QStringLiteral("shell.log")), QIODevice::Append);
    const QStringList arguments{QStringLiteral("gnome-shell"),
                                QStringLiteral("--headless"),
                                QStringLiteral("--wayland"),
                                QStringLiteral("--no-x11"),
                                QStringLiteral("--virtual-monitor"),
                                QStringLiteral("1280x800"),
                                QStringLiteral("--wayland-display=") + socketName};
    if (::getuid() == 0)
        shell_.start(QStringLiteral("setpriv"),
                     QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                 QStringLiteral("--clear-groups")} +
                         arguments);
    else
        shell_.start(arguments.first(), arguments.mid(1));
    // Its name and socket come long before it is usable; both extensions answering say it is.
    const bool ready = waitFor(
        [&] {
            return shell_.state() == QProcess::NotRunning ||
                   (call(QStringLiteral("/co/ambertide/KelmoTest/Desktop"),
                         QStringLiteral("co.ambertide.KelmoTest.Desktop"), QStringLiteral("Focus"),
                         {QString()})
                            .type() == QDBusMessage::ReplyMessage &&
                    // The agent's extension refuses the question to anyone but the agent.
                    (!withAgentExtension_ ||
                     call(QStringLiteral("/co/ambertide/KelmoHelper/Shell"),
                          QStringLiteral("co.ambertide.KelmoHelper.Shell"),
                          QStringLiteral("FocusedApplication"), {})
                             .errorName() ==
                         QStringLiteral("org.freedesktop.DBus.Error.AccessDenied")));
        },
        startTimeoutMs);
    if (!ready || shell_.state() == QProcess::NotRunning)
        return fail(QStringLiteral("GNOME Shell did not start: %1")
                        .arg(tailOf(root_.filePath(QStringLiteral("shell.log")))));
    return true;
}

QDBusMessage GnomeDesktop::call(const QString& path, const QString& interface,
                                const QString& method, const QVariantList& arguments) const {
    QDBusMessage message = QDBusMessage::createMethodCall(shellName, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection(busName_).call(message, QDBus::Block, 5000);
}

bool GnomeDesktop::copy(const QString& text) {
    return call(QStringLiteral("/co/ambertide/KelmoTest/Desktop"),
                QStringLiteral("co.ambertide.KelmoTest.Desktop"), QStringLiteral("Copy"), {text})
               .type() == QDBusMessage::ReplyMessage;
}

QString GnomeDesktop::focusedApplication() const {
    return call(QStringLiteral("/co/ambertide/KelmoTest/Desktop"),
                QStringLiteral("co.ambertide.KelmoTest.Desktop"), QStringLiteral("Focused"), {})
        .arguments()
        .value(0)
        .toString();
}

bool GnomeDesktop::focus(const QString& wmClass) {
    return waitFor(
        [&] {
            return call(QStringLiteral("/co/ambertide/KelmoTest/Desktop"),
                        QStringLiteral("co.ambertide.KelmoTest.Desktop"), QStringLiteral("Focus"),
                        {wmClass})
                       .arguments()
                       .value(0)
                       .toBool() &&
                   focusedApplication() == wmClass;
        },
        startTimeoutMs / 3);
}

bool GnomeDesktop::type(const QStringList& keys) {
    return call(QStringLiteral("/co/ambertide/KelmoTest/Desktop"),
                QStringLiteral("co.ambertide.KelmoTest.Desktop"), QStringLiteral("Type"), {keys})
               .type() == QDBusMessage::ReplyMessage;
}

bool GnomeDesktop::setExtensionEnabled(bool enabled) {
    return call(QStringLiteral("/org/gnome/Shell"), QStringLiteral("org.gnome.Shell.Extensions"),
                enabled ? QStringLiteral("EnableExtension") : QStringLiteral("DisableExtension"),
                {QStringLiteral(KELMO_GNOME_EXTENSION_UUID)})
        .arguments()
        .value(0)
        .toBool();
}

void GnomeDesktop::killShell() {
    if (shell_.state() != QProcess::NotRunning)
        ::kill(pid_t(shell_.processId()), SIGKILL);
    shell_.waitForFinished(5000);
}

bool GnomeDesktop::restartShell() {
    killShell();
    // A killed Shell leaves its socket and lock behind, which would pass for the new one's.
    for (const QString& name : {socketName, socketName + QStringLiteral(".lock")})
        QFile::remove(root_.filePath(QStringLiteral("rt/")) + name);
    return startShell() && startField();
}
