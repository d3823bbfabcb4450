#include "WaylandDesktop.h"

#include "DesktopProcesses.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QUuid>
#include <csignal>
#include <unistd.h>

namespace {
const QString socketName = QStringLiteral("kelmo-test");
// The activatable services the portal needs, and no others: no document portal and its FUSE mount.
const QStringList services{QStringLiteral("org.freedesktop.portal.Desktop"),
                           QStringLiteral("org.freedesktop.impl.portal.desktop.kde"),
                           QStringLiteral("org.freedesktop.impl.portal.PermissionStore")};
constexpr int startTimeoutMs = 30000;

// Tells, on KWin's standard error, which window has the keyboard: a window is shown before it
// has the focus, and keys sent in between are lost. KWin 6 renamed the signal and the property.
const char activeWindowScript[] =
    "function report(c) { print(\"KWINSCRIPT active=\" + (c ? c.resourceClass : \"none\")); }\n"
    "(workspace.windowActivated || workspace.clientActivated).connect(report);\n"
    "report(workspace.activeWindow || workspace.activeClient);\n";

using DesktopProcesses::tailOf;
using DesktopProcesses::waitFor;

void killGroup(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(-pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(5000)) {
        ::kill(-pid_t(process.processId()), SIGKILL);
        process.waitForFinished(5000);
    }
}
} // namespace

bool WaylandDesktop::installed() {
    return QFile::exists(QStringLiteral("/usr/bin/kwin_wayland")) &&
           QFile::exists(QStringLiteral("/usr/share/dbus-1/services/"
                                        "org.freedesktop.impl.portal.desktop.kde.service")) &&
           !QStandardPaths::findExecutable(QStringLiteral("wl-copy")).isEmpty();
}

WaylandDesktop::WaylandDesktop(const QString& layout, const QString& variant,
                               const QStringList& fieldArguments) {
    start(layout, variant, fieldArguments);
}

WaylandDesktop::~WaylandDesktop() {
    // The window first, then the bus with the services it started, then the compositor.
    field_.stop();
    if (!busName_.isEmpty())
        QDBusConnection::disconnectFromBus(busName_);
    killGroup(bus_);
    killGroup(kwin_);
}

QDBusConnection WaylandDesktop::bus() const {
    return QDBusConnection(busName_);
}

QString WaylandDesktop::servicesLog() const {
    return root_.filePath(QStringLiteral("services.log"));
}

bool WaylandDesktop::fail(const QString& why) {
    whyNot_ = why;
    return false;
}

bool WaylandDesktop::writeFile(const QString& path, const QString& contents) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(contents.toUtf8()) == contents.toUtf8().size();
}

void WaylandDesktop::startInGroup(QProcess& process, const QString& program,
                                  const QStringList& arguments) {
    // A process group of its own, so that whatever it starts goes with it.
    process.setChildProcessModifier([] { ::setsid(); });
    process.setProcessEnvironment(env_);
    process.start(program, arguments);
}

bool WaylandDesktop::start(const QString& layout, const QString& variant,
                           const QStringList& fieldArguments) {
    const QString root = root_.path();
    for (const char* folder : {"rt", "cfg", "data", "cache", "state", "services", "bin"})
        QDir(root).mkdir(QLatin1String(folder));
    QFile::setPermissions(root + QStringLiteral("/rt"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // kwin_wayland carries a file capability a container may not grant: a copy runs without it.
    const QString kwin = root + QStringLiteral("/bin/kwin_wayland");
    if (!root_.isValid() || !QFile::copy(QStringLiteral("/usr/bin/kwin_wayland"), kwin))
        return fail(QStringLiteral("cannot copy kwin_wayland"));
    for (const QString& service : services)
        QFile::copy(QStringLiteral("/usr/share/dbus-1/services/%1.service").arg(service),
                    root + QStringLiteral("/services/%1.service").arg(service));
    const QString config = root + QStringLiteral("/bus.conf");
    if (!writeFile(root + QStringLiteral("/cfg/kxkbrc"),
                   QStringLiteral("[Layout]\nUse=true\nLayoutList=%1\nVariantList=%2\n")
                       .arg(layout, variant)) ||
        !writeFile(config,
                   QStringLiteral("<busconfig><type>session</type><listen>unix:path=%1/rt/bus"
                                  "</listen><auth>EXTERNAL</auth><servicedir>%1/services"
                                  "</servicedir><policy context=\"default\"><allow "
                                  "send_destination=\"*\" eavesdrop=\"true\"/><allow "
                                  "eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
                       .arg(root)))
        return fail(QStringLiteral("cannot write the desktop's configuration"));

    env_ = QProcessEnvironment::systemEnvironment();
    env_.remove(QStringLiteral("DISPLAY"));
    const std::pair<const char*, QString> settings[] = {
        {"XDG_RUNTIME_DIR", root + QStringLiteral("/rt")},
        {"XDG_CONFIG_HOME", root + QStringLiteral("/cfg")},
        {"XDG_DATA_HOME", root + QStringLiteral("/data")},
        {"XDG_CACHE_HOME", root + QStringLiteral("/cache")},
        {"XDG_STATE_HOME", root + QStringLiteral("/state")},
        // The portal's KDE backend is a Qt 5 program: without this it looks for X11 and aborts.
        {"XDG_SESSION_TYPE", QStringLiteral("wayland")},
        {"XDG_CURRENT_DESKTOP", QStringLiteral("KDE")},
        // KWin 6 lets a client use its screencast (the portal backend's remote desktop needs it)
        // only if the client's .desktop file asks for it, found through KDE's service cache,
        // which lists only the applications of the session's menu: Plasma's.
        {"XDG_MENU_PREFIX", QStringLiteral("plasma-")},
        {"WAYLAND_DISPLAY", socketName},
        {"DBUS_SESSION_BUS_ADDRESS", QStringLiteral("unix:path=%1/rt/bus").arg(root)},
        // The backend's first keystroke uses its own default keymap: make it the desktop's.
        {"XKB_DEFAULT_LAYOUT", layout},
        {"XKB_DEFAULT_VARIANT", variant}};
    for (const auto& [name, value] : settings)
        env_.insert(QLatin1String(name), value);

    // The services the bus starts (the portal, its backend) write here.
    bus_.setStandardErrorFile(servicesLog());
    startInGroup(bus_, QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                  QStringLiteral("--print-address=1")});
    // The daemon prints its address once it listens.
    if (!waitFor([&] { return bus_.canReadLine() || bus_.state() == QProcess::NotRunning; },
                 startTimeoutMs) ||
        !bus_.canReadLine())
        return fail(QStringLiteral("dbus-daemon did not start"));
    busName_ = QUuid::createUuid().toString();
    QDBusConnection connection =
        QDBusConnection::connectToBus(QString::fromUtf8(bus_.readLine()).trimmed(), busName_);
    if (!connection.isConnected())
        return fail(QStringLiteral("cannot join the desktop's bus"));

    startInGroup(kwin_, kwin,
                 {QStringLiteral("--virtual"), QStringLiteral("--no-lockscreen"),
                  QStringLiteral("--socket"), socketName, QStringLiteral("--width"),
                  QStringLiteral("1024"), QStringLiteral("--height"), QStringLiteral("768")});
    const auto kwinSays = [&](const char* what) {
        kwinLog_ += kwin_.readAllStandardError();
        return kwinLog_.contains(what);
    };
    if (!waitFor(
            [&] {
                return kwin_.state() == QProcess::NotRunning ||
                       connection.interface()->isServiceRegistered(QStringLiteral("org.kde.KWin"));
            },
            startTimeoutMs) ||
        kwin_.state() == QProcess::NotRunning)
        return fail(QStringLiteral("KWin did not start: ") +
                    QString::fromUtf8(kwinLog_ + kwin_.readAllStandardError()));

    const QString script = root + QStringLiteral("/active-window.js");
    if (!writeFile(script, QString::fromLatin1(activeWindowScript)))
        return fail(QStringLiteral("cannot write the KWin script"));
    const auto scripting = [&](const QString& method, const QVariantList& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
            QStringLiteral("org.kde.kwin.Scripting"), method);
        call.setArguments(arguments);
        return connection.call(call).type() == QDBusMessage::ReplyMessage;
    };
    // Right after KWin appears on the bus its scripting may not take a script yet.
    if (!waitFor(
            [&] {
                return scripting(QStringLiteral("loadScript"),
                                 {script, QStringLiteral("kelmo-active-window")}) &&
                       scripting(QStringLiteral("start"), {});
            },
            startTimeoutMs))
        return fail(QStringLiteral("KWin took no script"));

    QDBusMessage version = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"),
        QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    version << QStringLiteral("org.freedesktop.portal.RemoteDesktop") << QStringLiteral("version");
    const QDBusMessage answer = connection.call(version, QDBus::Block, startTimeoutMs);
    if (answer.type() != QDBusMessage::ReplyMessage)
        return fail(QStringLiteral("the portal offers no RemoteDesktop: %1; the desktop's services "
                                   "said:\n%2")
                        .arg(answer.errorMessage(), tailOf(servicesLog())));

    // Plasma 6's backend asks the user before any remote control, in a dialog no client can
    // answer; what it asks is whether applications outside a sandbox (app id "") may control the
    // desktop, which the user can also allow beforehand in System Settings. That is allowed here.
    if (const QString why = allowRemoteControl(true); !why.isEmpty())
        return fail(QStringLiteral("the permission store took no permission: %1").arg(why));

    const QString fieldLog = root + QStringLiteral("/field.log");
    field_.start(QStringLiteral(KELMO_DEMO_TEXTFIELD), env_, fieldArguments, fieldLog);
    if (!waitForFieldLine(QStringLiteral("ready"), startTimeoutMs) ||
        !waitFor([&] { return kwinSays("KWINSCRIPT active=demo-textfield"); }, startTimeoutMs))
        return fail(
            QStringLiteral("the text field got no keyboard focus; it said:\n%1\nKWin said:\n%2")
                .arg(tailOf(fieldLog), QString::fromUtf8(kwinLog_.right(3000))));
    return true;
}

QString WaylandDesktop::allowRemoteControl(bool allowed) {
    QDBusMessage change = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
        QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
        allowed ? QStringLiteral("SetPermission") : QStringLiteral("DeletePermission"));
    change << QStringLiteral("kde-authorized");
    if (allowed)
        change << true;
    change << QStringLiteral("remote-desktop") << QString();
    if (allowed)
        change << QStringList{QStringLiteral("yes")};
    const QDBusMessage answer = bus().call(change, QDBus::Block, startTimeoutMs);
    return answer.type() == QDBusMessage::ReplyMessage ? QString() : answer.errorMessage();
}

bool WaylandDesktop::copy(const QString& text) {
    return DesktopProcesses::copy(env_, text);
}
