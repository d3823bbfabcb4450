// kelmo-notify: the command-line peer of the notification bus, for shells, scripts and people.
#include "DBusNotifyCenter.h"
#include "TerminationRequests.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QProcess>
#include <QSet>
#include <QSocketNotifier>
#include <QStringDecoder>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int exitUsage = 2;
constexpr int exitFailure = 1;
constexpr int exitCannotRun = 127;
// A script that waits longer than a day is waiting for something that won't come.
constexpr double longestTimeoutSeconds = 86400;
// How long a command has to end once a wait is over without it.
constexpr int commandGraceMs = 1000;
// How long joining the bus, subscribing and posting may take: a stopped daemon accepts the
// connection and then never answers.
constexpr unsigned busSetupSeconds = 10;
// Posts sent before the bus is asked to confirm them.
constexpr qsizetype postBatch = 500;

const char usageText[] =
    "usage: kelmo-notify post NAME...\n"
    "       kelmo-notify wait [--timeout SECONDS] NAME... [-- COMMAND...]\n"
    "       kelmo-notify watch [NAME...]\n"
    "       kelmo-notify hold ID [-- COMMAND...]\n"
    "       kelmo-notify --help | --version\n"
    "\n"
    "  post   posts each NAME in order; returns once the posts have reached the bus\n"
    "  wait   prints each NAME as it arrives; exits 0 once every NAME has arrived,\n"
    "         1 on timeout (SECONDS from 0 to 86400); COMMAND, if given, runs once\n"
    "         the names are observed, and wait returns only after it has finished\n"
    "  watch  prints every arriving NAME (all names if none given) with a time stamp;\n"
    "         says \"watching\" on standard error once nothing can be missed\n"
    "  hold   owns ID on the session bus while it runs, or while COMMAND runs, and\n"
    "         then exits with COMMAND's status; says \"holding ID\" on standard error\n"
    "         once it owns ID\n"
    "\n"
    "Names are printed with backslashes and control characters escaped (\\\\, \\n, \\xHH),\n"
    "so that each arrival is one line.\n";

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

// Marks that turn the direction of the text after them, so that a name could show as another.
bool isBidiControl(QChar c) {
    const char16_t u = c.unicode();
    return u == 0x061c || u == 0x200e || u == 0x200f || (u >= 0x202a && u <= 0x202e) ||
           (u >= 0x2066 && u <= 0x2069);
}

// One arrival, one line, shown as it is: a name can carry any character, a line feed included.
QString escaped(const QString& name) {
    QString out;
    out.reserve(name.size());
    for (const QChar c : name) {
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
                 c.category() == QChar::Separator_Paragraph || isBidiControl(c))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

// A reader that went away (watch | head -1) is noticed even while no name arrives: the write end
// of a pipe reports an error, and only that, to a read notifier once its reader is gone. (On a
// terminal a read notifier would fire for each key, so only a pipe is watched.)
void endWhenTheReaderGoes() {
    // A FIFO opened for reading too (1<>fifo) would wake it for its own output.
    struct stat info {};
    if (::fstat(STDOUT_FILENO, &info) != 0 || !S_ISFIFO(info.st_mode) ||
        (::fcntl(STDOUT_FILENO, F_GETFL) & O_ACCMODE) != O_WRONLY)
        return;
    auto* gone =
        new QSocketNotifier(STDOUT_FILENO, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(gone, &QSocketNotifier::activated, [] { std::_Exit(exitFailure); });
}

void print(const QString& line) {
    // The bus library ignores SIGPIPE for the whole process: a reader that went away (watch |
    // head -1) shows as a failed write, and ends this as the signal would have.
    std::fprintf(stdout, "%s\n", qUtf8Printable(line));
    if (std::fflush(stdout) != 0)
        std::_Exit(exitFailure);
}

// Splits "A B -- C D" into names and command.
struct Arguments {
    QStringList names;
    QStringList command;
    bool dashes = false;
};

Arguments splitAtDashes(const QStringList& args) {
    const qsizetype dashes = args.indexOf(QStringLiteral("--"));
    if (dashes < 0)
        return {args, {}, false};
    return {args.mid(0, dashes), args.mid(dashes + 1), true};
}

// A command runs in a process group of its own, so that what it starts in the background ends
// with it: `wait` and `hold` leave nothing behind.
class Command final : public QProcess {
public:
    Command() {
        setChildProcessModifier([] { ::setpgid(0, 0); });
        // Kept: once the command has ended Qt forgets its id, and its group may live on.
        connect(this, &QProcess::started, this, [this] { pgid_ = pid_t(processId()); });
    }
    // Asks the whole group to end, then makes it.
    void endGroup() {
        ending_ = true;
        if (state() == NotRunning)
            return signalGroup(SIGKILL); // its background children may still be there
        signalGroup(SIGTERM);
        if (!waitForFinished(commandGraceMs))
            signalGroup(SIGKILL);
        waitForFinished(-1);
        signalGroup(SIGKILL);
    }
    bool ending() const { return ending_; }

private:
    void signalGroup(int signal) {
        if (pgid_ > 0)
            ::kill(-pgid_, signal);
    }
    pid_t pgid_ = 0;
    bool ending_ = false;
};

// Runs `command` with the terminal's channels and calls `finished` with its exit status (128 plus
// the signal's number when a signal ended it, as shells say), or with exitCannotRun when it can't
// be started (after saying why); not when this process ended it.
Command* runCommand(const QStringList& command, std::function<void(int)> finished) {
    auto* process = new Command;
    process->setParent(QCoreApplication::instance());
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    QObject::connect(process, &QProcess::finished,
                     [process, finished](int code, QProcess::ExitStatus how) {
                         if (process->ending())
                             return;
                         // Qt gives the signal's number as the code of a command it killed.
                         if (how != QProcess::NormalExit)
                             note(QStringLiteral("%1 was ended by signal %2 (%3)")
                                      .arg(process->program())
                                      .arg(code)
                                      .arg(QString::fromLocal8Bit(::strsignal(code))));
                         finished(how == QProcess::NormalExit ? code : 128 + code);
                     });
    QObject::connect(process, &QProcess::errorOccurred,
                     [process, finished](QProcess::ProcessError e) {
                         if (e != QProcess::FailedToStart)
                             return;
                         note(QStringLiteral("cannot run %1: %2")
                                  .arg(process->program(), process->errorString()));
                         finished(exitCannotRun);
                     });
    process->start(command.first(), command.mid(1));
    return process;
}

bool observe(DBusNotifyCenter& center, void* observer, NotifyCallback callback,
             const QStringList& names) {
    for (const QString& name : names)
        if (!center.addObserver(observer, callback, name))
            return false;
    // The match rules are in place at the daemon once it has answered a call after them.
    center.flush();
    return true;
}

// Why `names` can't be names, or nothing: none empty, none that looks like an option (a
// misplaced one would be posted or awaited as a name), none too long to be observed.
const char* badName(const QStringList& names) {
    for (const QString& name : names) {
        if (name.isEmpty())
            return "a NAME can't be empty";
        if (name.startsWith(u'-'))
            return "unknown option, or a NAME that starts with '-'";
        if (!DBusNotifyCenter::isObservable(name))
            return "a NAME this long could never be observed (about 900 bytes at most)";
    }
    return nullptr;
}

int post(DBusNotifyCenter& center, const QStringList& names) {
    if (names.isEmpty())
        return usage("post needs at least one NAME");
    if (const char* problem = badName(names))
        return usage(problem);
    // In batches, each confirmed by the bus before the next: a busy bus gets all the time it
    // needs while it keeps taking them, and a caller whose posts stop learns how many went.
    for (qsizetype confirmed = 0; confirmed < names.size();) {
        const qsizetype batch = std::min(postBatch, names.size() - confirmed);
        for (const QString& name : names.sliced(confirmed, batch))
            center.postNotification(name, nullptr);
        if (!center.flushed())
            return fail(QStringLiteral("the session bus confirmed %1 of the %2 posts, the first "
                                       "ones in order; the others may not have arrived")
                            .arg(confirmed)
                            .arg(names.size()));
        confirmed += batch;
        ::alarm(busSetupSeconds);
    }
    return 0;
}

struct Waiter {
    QSet<QString> pending;
    static void arrived(NotifyCenter*, void* observer, const QString& name, const void*,
                        const QVariantMap*) {
        auto* self = static_cast<Waiter*>(observer);
        if (!self->pending.remove(name))
            return;
        print(escaped(name));
        if (self->pending.isEmpty())
            QCoreApplication::exit(0);
    }
};

std::optional<int> timeoutMilliseconds(const QString& text) {
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > longestTimeoutSeconds)
        return std::nullopt;
    return int(std::lround(seconds * 1000));
}

int wait(DBusNotifyCenter& center, QStringList args) {
    std::optional<int> timeoutMs;
    if (args.value(0) == QStringLiteral("--timeout")) {
        timeoutMs = timeoutMilliseconds(args.value(1));
        if (!timeoutMs)
            return usage("--timeout needs a number of seconds from 0 to 86400");
        args = args.mid(2);
    }
    const Arguments parts = splitAtDashes(args);
    if (parts.names.isEmpty())
        return usage("wait needs at least one NAME");
    if (parts.names.contains(QStringLiteral("--timeout")))
        return usage("--timeout comes before the names");
    if (const char* problem = badName(parts.names))
        return usage(problem);
    if (parts.dashes && parts.command.isEmpty())
        return usage("wait needs a COMMAND after --");
    Waiter waiter{QSet<QString>(parts.names.begin(), parts.names.end())};
    if (!observe(center, &waiter, &Waiter::arrived, parts.names))
        return fail(QStringLiteral("cannot observe the names on the bus"));
    ::alarm(0);
    if (timeoutMs)
        QTimer::singleShot(*timeoutMs, [&waiter] {
            note(QStringLiteral("timed out waiting for %1")
                     .arg(escaped(waiter.pending.values().join(u' '))));
            QCoreApplication::exit(exitFailure);
        });
    Command* process = nullptr;
    if (!parts.command.isEmpty()) {
        // The command's own success proves nothing: only the names count.
        process = runCommand(parts.command, [](int status) {
            if (status == exitCannotRun)
                QCoreApplication::exit(exitCannotRun);
            else if (status != 0 && status < 128)
                note(QStringLiteral("the command failed with exit status %1").arg(status));
        });
        onTerminationRequest([] { QCoreApplication::exit(exitFailure); });
    } else {
        onTerminationRequest([] { QCoreApplication::exit(exitFailure); });
    }
    const int status = QCoreApplication::exec();
    center.removeEveryObserver(&waiter);
    if (process) {
        // Every name came: the command that caused them may still be finishing. Otherwise
        // there is nothing left to wait for: it is asked to end, then made to.
        if (status == 0)
            process->waitForFinished(-1);
        process->endGroup();
    }
    return status;
}

void printStamped(NotifyCenter*, void*, const QString& name, const void*, const QVariantMap*) {
    print(
        QStringLiteral("%1 %2").arg(QTime::currentTime().toString(u"HH:mm:ss.zzz"), escaped(name)));
}

int watch(DBusNotifyCenter& center, const QStringList& names) {
    if (const char* problem = badName(names))
        return usage(problem);
    int observer = 0;
    if (!observe(center, &observer, &printStamped,
                 names.isEmpty() ? QStringList{QString()} : names))
        return fail(QStringLiteral("cannot observe the names on the bus"));
    ::alarm(0);
    endWhenTheReaderGoes();
    // Scripts wait for this line: from here on nothing they post is missed.
    note(names.isEmpty() ? QStringLiteral("watching every name")
                         : QStringLiteral("watching %1").arg(escaped(names.join(u' '))));
    onTerminationRequest([] { QCoreApplication::exit(0); });
    const int status = QCoreApplication::exec();
    center.removeEveryObserver(&observer);
    return status;
}

int hold(const QDBusConnection& bus, const QStringList& args) {
    const Arguments parts = splitAtDashes(args);
    if (parts.names.size() != 1)
        return usage("hold needs exactly one ID");
    if (parts.dashes && parts.command.isEmpty())
        return usage("hold needs a COMMAND after --");
    const QString id = parts.names.first();
    const auto reply =
        bus.interface()->registerService(id, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid())
        return fail(QStringLiteral("cannot own %1: %2").arg(id, reply.error().message()));
    if (reply.value() != QDBusConnectionInterface::ServiceRegistered)
        return fail(QStringLiteral("%1 is owned by another process already").arg(id));
    ::alarm(0);
    Command* process = nullptr;
    if (!parts.command.isEmpty()) {
        process = runCommand(parts.command, [](int status) { QCoreApplication::exit(status); });
        onTerminationRequest([process] {
            process->endGroup();
            QCoreApplication::exit(exitFailure);
        });
    } else {
        note(QStringLiteral("holding %1").arg(id));
        onTerminationRequest([] { QCoreApplication::exit(0); });
    }
    const int status = QCoreApplication::exec();
    if (process)
        process->endGroup();
    return status;
}

void busDoesNotAnswer(int) {
    static const char message[] = "kelmo-notify: the session bus does not answer\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, message, sizeof message - 1);
    std::_Exit(exitFailure);
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
    if (args.first() == QStringLiteral("--version")) {
        std::puts("kelmo-notify " KELMO_VERSION);
        return 0;
    }
    // Arguments are decoded as UTF-8, a bad byte becoming U+FFFD: a name must arrive as given.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        [[maybe_unused]] const QString decoded = utf8.decode(QByteArrayView(argv[i]));
        if (utf8.hasError())
            return usage("a NAME must be UTF-8 text");
    }
    const QString command = args.takeFirst();
    if (!QStringList{QStringLiteral("post"), QStringLiteral("wait"), QStringLiteral("watch"),
                     QStringLiteral("hold")}
             .contains(command))
        return usage(qPrintable(QStringLiteral("unknown command '%1'").arg(escaped(command))));
    const QStringList options = splitAtDashes(args).names;
    if (options.contains(QStringLiteral("-h")) || options.contains(QStringLiteral("--help"))) {
        std::fputs(usageText, stdout);
        return 0;
    }

    // Each command disarms this once it is set up; a post, once the bus has it.
    std::signal(SIGALRM, busDoesNotAnswer);
    ::alarm(busSetupSeconds);
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
