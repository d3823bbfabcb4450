#include "WaylandDesktop.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>
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

// Tells, on KWin's standard error, which window has the keyboard: "ready" comes before the focus.
const char activeWindowScript[] =
    "function report(c) { print(\"KWINSCRIPT active=\" + (c ? c.resourceClass : \"none\")); }\n"
    "workspace.clientActivated.connect(report);\n"
    "report(workspace.activeClient);\n";

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
    field_.terminate();
    field_.waitForExit(5000);
    if (!busName_.isEmpty())
        QDBusConnection::disconnectFromBus(busName_);
    killGroup(bus_);
    killGroup(kwin_.process());
}

QDBusConnection WaylandDesktop::bus() const {
    return QDBusConnection(busName_);
}

bool WaylandDesktop::fail(const QString& why) {
    whyNot_ = why;
    return false;
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
    if (!root_.isValid())
        return fail(QStringLiteral("no temporary folder"));
    const QString root = root_.path();
    for (const char* folder : {"rt", "cfg", "data", "cache", "state", "services", "bin"})
        QDir(root).mkdir(QLatin1String(folder));
    QFile::setPermissions(root + QStringLiteral("/rt"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // kwin_wayland carries a file capability this container can't grant: a copy runs without it.
    const QString kwin = root + QStringLiteral("/bin/kwin_wayland");
    if (!QFile::copy(QStringLiteral("/usr/bin/kwin_wayland"), kwin))
        return fail(QStringLiteral("cannot copy kwin_wayland"));
    for (const QString& service : services)
        QFile::copy(QStringLiteral("/usr/share/dbus-1/services/%1.service").arg(service),
                    root + QStringLiteral("/services/%1.service").arg(service));
    QFile kxkbrc(root + QStringLiteral("/cfg/kxkbrc"));
    if (!kxkbrc.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write kxkbrc"));
    kxkbrc.write(QStringLiteral("[Layout]\nUse=true\nLayoutList=%1\nVariantList=%2\n")
                     .arg(layout, variant)
                     .toUtf8());
    kxkbrc.close();
    QFile config(root + QStringLiteral("/bus.conf"));
    if (!config.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write the bus configuration"));
    config.write(
        QStringLiteral(
            "<busconfig><type>session</type><listen>unix:path=%1/rt/bus</listen>"
            "<auth>EXTERNAL</auth><servicedir>%1/services</servicedir>"
            "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
            "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
            .arg(root)
            .toUtf8());
    config.close();

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
        {"WAYLAND_DISPLAY", socketName},
        {"DBUS_SESSION_BUS_ADDRESS", QStringLiteral("unix:path=%1/rt/bus").arg(root)},
        // The backend's first keystroke uses its own default keymap: make it the desktop's.
        {"XKB_DEFAULT_LAYOUT", layout},
        {"XKB_DEFAULT_VARIANT", variant}};
    for (const auto& [name, value] : settings)
        env_.insert(QLatin1String(name), value);

    bus_.setStandardErrorFile(QProcess::nullDevice());
    startInGroup(bus_, QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                  QStringLiteral("--print-address=1")});
    // The daemon prints its address once it listens.
    const QDeadlineTimer deadline(startTimeoutMs);
    while (!bus_.canReadLine() && !deadline.hasExpired() && bus_.state() != QProcess::NotRunning)
        bus_.waitForReadyRead(100);
    if (!bus_.canReadLine())
        return fail(QStringLiteral("dbus-daemon did not start"));
    busName_ = QUuid::createUuid().toString();
    const QString address = QString::fromUtf8(bus_.readLine()).trimmed();
    QDBusConnection connection = QDBusConnection::connectToBus(address, busName_);
    if (!connection.isConnected())
        return fail(QStringLiteral("cannot join the desktop's bus"));

    startInGroup(kwin_.process(), kwin,
                 {QStringLiteral("--virtual"), QStringLiteral("--no-lockscreen"),
                  QStringLiteral("--socket"), socketName, QStringLiteral("--width"),
                  QStringLiteral("1024"), QStringLiteral("--height"), QStringLiteral("768")});
    if (!QTest::qWaitFor(
            [&] {
                return connection.interface()
                           ->isServiceRegistered(QStringLiteral("org.kde.KWin"))
                           .value() ||
                       !kwin_.isRunning();
            },
            startTimeoutMs) ||
        !kwin_.isRunning())
        return fail(QStringLiteral("KWin did not start: ") + kwin_.errors().join(u'\n'));

    QFile script(root + QStringLiteral("/active-window.js"));
    if (!script.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write the KWin script"));
    script.write(activeWindowScript);
    script.close();
    const auto scripting = [&](const QString& method, const QVariantList& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
            QStringLiteral("org.kde.kwin.Scripting"), method);
        call.setArguments(arguments);
        return connection.call(call).type() == QDBusMessage::ReplyMessage;
    };
    // Right after KWin appears on the bus its scripting may not take a script yet.
    if (!QTest::qWaitFor(
            [&] {
                return scripting(QStringLiteral("loadScript"),
                                 {script.fileName(), QStringLiteral("kelmo-active-window")}) &&
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
        return fail(QStringLiteral("the portal offers no RemoteDesktop: ") + answer.errorMessage());

    QProcessEnvironment fieldEnv = env_;
    fieldEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    field_.start(QStringLiteral(KELMO_DEMO_TEXTFIELD), fieldArguments, fieldEnv);
    if (!field_.waitForLine(QStringLiteral("ready"), startTimeoutMs) ||
        !QTest::qWaitFor(
            [&] {
                return !kwin_.errors()
                            .filter(QStringLiteral("KWINSCRIPT active=demo-textfield"))
                            .isEmpty();
            },
            startTimeoutMs))
        return fail(QStringLiteral("the text field got no keyboard focus"));
    return true;
}

bool WaylandDesktop::copy(const QString& text) {
    // wl-copy leaves a server behind that offers the text until the compositor goes.
    QProcess copier;
    copier.setProcessEnvironment(env_);
    copier.setStandardOutputFile(QProcess::nullDevice());
    copier.setStandardErrorFile(QProcess::nullDevice());
    copier.start(QStringLiteral("wl-copy"), {text});
    return copier.waitForFinished(10000) && copier.exitCode() == 0;
}
