// kelmo-notify: the command-line peer of the notification bus, for shells, scripts and people.
#include "DBusNotifyCenter.h"
#include "TerminationRequests.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QProcess>
#include <QSet>
#include <QTime>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <optional>

namespace {

constexpr int exitUsage = 2;
constexpr int exitFailure = 1;
constexpr int exitCannotRun = 127;

const char usageText[] =
    "usage: kelmo-notify post NAME...\n"
    "       kelmo-notify wait [--timeout SECONDS] NAME... [-- COMMAND...]\n"
    "       kelmo-notify watch [NAME...]\n"
    "       kelmo-notify hold ID [-- COMMAND...]\n"
    "\n"
    "  post   posts each NAME in order; returns once the posts have reached the bus\n"
    "  wait   prints each NAME as it arrives and exits 0 once each has arrived,\n"
    "         1 on timeout; COMMAND, if given, runs once the names are observed,\n"
    "         and wait returns only after it has finished\n"
    "  watch  prints every arriving NAME (all names if none given) with a time stamp;\n"
    "         says \"watching\" on standard error once nothing can be missed\n"
    "  hold   owns ID on the session bus while it runs, or while COMMAND runs;\n"
    "         says \"holding ID\" on standard error once it owns ID\n";

int usage(const char* problem) {
    std::fprintf(stderr, "kelmo-notify: %s\n%s", problem, usageText);
    return exitUsage;
}

void note(const QString& message) {
    std::fprintf(stderr, "kelmo-notify: %s\n", qUtf8Printable(message));
}

int fail(const QString& message) {
    note(message);
    return exitFailure;
}

void print(const QString& line) {
    std::fprintf(stdout, "%s\n", qUtf8Printable(line));
    std::fflush(stdout);
}

// Splits "A B -- C D" into names and command.
struct Arguments {
    QStringList names;
    QStringList command;
};

Arguments splitAtDashes(const QStringList& args) {
    const qsizetype dashes = args.indexOf(QStringLiteral("--"));
    if (dashes < 0)
        return {args, {}};
    return {args.mid(0, dashes), args.mid(dashes + 1)};
}

// Runs `command` with the terminal's channels; quits the event loop with its exit code.
QProcess* runCommand(const QStringList& command, int& status) {
    auto* process = new QProcess(QCoreApplication::instance());
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    QObject::connect(process, &QProcess::finished,
                     [process, &status](int code, QProcess::ExitStatus how) {
                         status = how == QProcess::NormalExit ? code : exitFailure;
                         if (how != QProcess::NormalExit)
                             fail(QStringLiteral("%1 crashed").arg(process->program()));
                         QCoreApplication::exit(status);
                     });
    QObject::connect(process, &QProcess::errorOccurred,
                     [process, &status](QProcess::ProcessError e) {
                         if (e != QProcess::FailedToStart)
                             return;
                         fail(QStringLiteral("cannot run %1: %2")
                                  .arg(process->program(), process->errorString()));
                         status = exitCannotRun;
                         QCoreApplication::exit(status);
                     });
    onTerminationRequest([process] { process->terminate(); });
    process->start(command.first(), command.mid(1));
    return process;
}

int post(DBusNotifyCenter& center, const QStringList& names) {
    if (names.isEmpty())
        return usage("post needs at least one NAME");
    for (const QString& name : names)
        center.postNotification(name, nullptr);
    center.flush();
    return 0;
}

struct Waiter {
    QSet<QString> pending;
    static void arrived(NotifyCenter*, void* observer, const QString& name, const void*,
                        const QVariantMap*) {
        auto* self = static_cast<Waiter*>(observer);
        print(name);
        self->pending.remove(name);
        if (self->pending.isEmpty())
            QCoreApplication::exit(0);
    }
};

int wait(DBusNotifyCenter& center, QStringList args) {
    std::optional<int> timeoutMs;
    if (args.value(0) == QStringLiteral("--timeout")) {
        bool ok = false;
        const double seconds = args.value(1).toDouble(&ok);
        if (!ok || seconds < 0)
            return usage("--timeout needs a number of seconds");
        timeoutMs = int(seconds * 1000);
        args = args.mid(2);
    }
    const Arguments parts = splitAtDashes(args);
    if (parts.names.isEmpty())
        return usage("wait needs at least one NAME");
    Waiter waiter{QSet<QString>(parts.names.begin(), parts.names.end())};
    for (const QString& name : parts.names)
        center.addObserver(&waiter, &Waiter::arrived, name);
    // The match rules are in place at the daemon once it has answered a call after them.
    center.flush();
    if (timeoutMs)
        QTimer::singleShot(*timeoutMs, [&waiter] {
            fail(
                QStringLiteral("timed out waiting for %1").arg(waiter.pending.values().join(u' ')));
            QCoreApplication::exit(exitFailure);
        });
    int commandStatus = 0;
    QProcess* process = nullptr;
    if (!parts.command.isEmpty())
        process = runCommand(parts.command, commandStatus);
    else
        onTerminationRequest([] { QCoreApplication::exit(exitFailure); });
    const int status = QCoreApplication::exec();
    center.removeEveryObserver(&waiter);
    // The names may arrive before the command that caused them has finished.
    if (process && process->state() != QProcess::NotRunning)
        process->waitForFinished(-1);
    return status;
}

void printStamped(NotifyCenter*, void*, const QString& name, const void*, const QVariantMap*) {
    print(QStringLiteral("%1 %2").arg(QTime::currentTime().toString(u"HH:mm:ss.zzz"), name));
}

int watch(DBusNotifyCenter& center, const QStringList& names) {
    int observer = 0;
    if (names.isEmpty())
        center.addObserver(&observer, &printStamped, QString());
    for (const QString& name : names)
        center.addObserver(&observer, &printStamped, name);
    center.flush();
    // Scripts wait for this line: from here on nothing they post is missed.
    note(names.isEmpty() ? QStringLiteral("watching every name")
                         : QStringLiteral("watching %1").arg(names.join(u' ')));
    onTerminationRequest([] { QCoreApplication::exit(0); });
    const int status = QCoreApplication::exec();
    center.removeEveryObserver(&observer);
    return status;
}

int hold(const QDBusConnection& bus, const QStringList& args) {
    const Arguments parts = splitAtDashes(args);
    if (parts.names.size() != 1)
        return usage("hold needs exactly one ID");
    if (args.contains(QStringLiteral("--")) && parts.command.isEmpty())
        return usage("hold needs a COMMAND after --");
    const QString id = parts.names.first();
    const auto reply =
        bus.interface()->registerService(id, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid())
        return fail(QStringLiteral("cannot own %1: %2").arg(id, reply.error().message()));
    if (reply.value() != QDBusConnectionInterface::ServiceRegistered)
        return fail(QStringLiteral("%1 is owned by another process already").arg(id));
    int status = 0;
    if (!parts.command.isEmpty()) {
        runCommand(parts.command, status);
    } else {
        note(QStringLiteral("holding %1").arg(id));
        onTerminationRequest([] { QCoreApplication::exit(0); });
    }
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage("no command given");
    if (args.first() == QStringLiteral("-h") || args.first() == QStringLiteral("--help")) {
        std::fputs(usageText, stdout);
        return 0;
    }
    const QString command = args.takeFirst();
    if (!QStringList{QStringLiteral("post"), QStringLiteral("wait"), QStringLiteral("watch"),
                     QStringLiteral("hold")}
             .contains(command))
        return usage(qPrintable(QStringLiteral("unknown command '%1'").arg(command)));

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return fail(QStringLiteral("no session bus (%1)").arg(bus.lastError().message()));
    DBusNotifyCenter center(bus);
    if (command == u"post")
        return post(center, args);
    if (command == u"wait")
        return wait(center, args);
    if (command == u"watch")
        return watch(center, args);
    return hold(bus, args);
}
