// A Wayland desktop for the demo: kelmo-wayland-desktop [--sway | --gnome] [--shot FILE]
// Starts headless KWin, the desktop portal and a text field on Wayland (with --sway: headless
// sway and a text field, on the caller's session bus; with --gnome: headless GNOME Shell with
// the agent's extension and a text field, on the caller's session bus, which must let user
// nobody in when run as root); prints the environment that joins it
// ("export NAME='value'" lines), then "ready", then the field's text as it changes
// ("field: TEXT"). Ends, taking everything with it, on SIGTERM, SIGINT or SIGHUP.
#include "GnomeDesktop.h"
#include "SwayDesktop.h"
#include "TerminationRequests.h"
#include "WaylandDesktop.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {
template <typename Desktop>
int serve(Desktop& desktop) {
    if (!desktop.isRunning()) {
        std::fprintf(stderr, "kelmo-wayland-desktop: %s\n", qUtf8Printable(desktop.whyNot()));
        return 1;
    }
    const QProcessEnvironment env = desktop.environment();
    for (const char* name :
         {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
          "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
        if (env.contains(QLatin1String(name)))
            std::printf("export %s='%s'\n", name, qUtf8Printable(env.value(QLatin1String(name))));
    std::printf("unset DISPLAY\nready\n");
    std::fflush(stdout);
    QTimer lines;
    qsizetype shown = 1; // past "ready"
    QObject::connect(&lines, &QTimer::timeout, [&] {
        const QStringList output = desktop.fieldLines();
        for (; shown < output.size(); ++shown)
            std::printf("field: %s\n", qUtf8Printable(output[shown]));
        std::fflush(stdout);
    });
    lines.start(50);
    onTerminationRequest([] { QCoreApplication::quit(); });
    return QCoreApplication::exec();
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype shot = args.indexOf(u"--shot"_s);
    const QStringList fieldArguments =
        shot > 0 ? QStringList{u"--shot"_s, args.value(shot + 1)} : QStringList{};
    if (args.contains(u"--sway"_s)) {
        SwayDesktop desktop(fieldArguments);
        return serve(desktop);
    }
    if (args.contains(u"--gnome"_s)) {
        GnomeDesktop desktop(fieldArguments);
        return serve(desktop);
    }
    WaylandDesktop desktop(u"us"_s, {}, fieldArguments);
    return serve(desktop);
}
