#include "SystemLog.h"

#include <QCoreApplication>
#include <QThread>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace SystemLog {
namespace {
constexpr char identifier[] = "Kelmo Helper";
// Each kind of line is logged in full up to so many a window; the rest are counted and said in
// one line, so that a flood of pastes neither floods the log nor slows the agent, nor fills the
// disk a file or a service manager keeps standard error on.
constexpr qint64 windowMs = 10'000;
// A log server that went away (journald restarted) is looked for again at most this often.
constexpr qint64 reconnectIntervalMs = 1000;

struct Budget {
    const int linesPerWindow;
    const char* const kind;
    std::atomic<qint64> windowStart{0};
    std::atomic<int> linesInWindow{0};
    std::atomic<int> linesLeftOut{0};
};
Budget debugLines{200, "log"};
Budget errorLines{500, "error"};

// Where the lines go: the journal's native protocol, or a syslog daemon's socket (RFC 3164).
enum class Sink { none, journal, syslog };
// Whether lines are budgeted: standard error is no terminal.
std::atomic<bool> opened{false};
// Whether lines also go to a log server: standard error does not lead to the journal already.
bool toLogServer = false;
std::atomic<Sink> sink{Sink::none};
std::atomic<int> sinkFd{-1};
std::string journalPath;
std::string syslogPath;
qint64 lastReconnectMs = 0;
bool everReconnected = false;

qint64 nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool stderrIsJournal() {
    // systemd names the journal stream it gave a service as "device:inode".
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat info;
    if (stream.isEmpty() || ::fstat(STDERR_FILENO, &info) != 0)
        return false;
    return stream == QByteArray::number(quint64(info.st_dev)) + ':' +
                         QByteArray::number(quint64(info.st_ino));
}

int connectDatagram(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The journal where one runs, else the syslog daemon; none when neither listens. A socket found
// again takes the old one's number: a line sent meanwhile from another thread (Qt's bus thread
// may warn) goes to the old server or the new, never to a descriptor reused for something else.
void connectSink() {
    int fd = connectDatagram(journalPath);
    Sink kind = Sink::journal;
    if (fd < 0) {
        fd = connectDatagram(syslogPath);
        kind = Sink::syslog;
    }
    if (fd < 0)
        return;
    const int old = sinkFd;
    if (old >= 0 && ::dup2(fd, old) == old) {
        ::fcntl(old, F_SETFD, FD_CLOEXEC);
        ::close(fd);
        fd = old;
    } else if (old >= 0) {
        ::close(old);
    }
    sinkFd = fd;
    sink = kind;
}

bool sendTo(int fd, Sink kind, int priority, const QByteArray& message) {
    QByteArray head;
    std::array<unsigned char, 8> length{};
    if (kind == Sink::journal) {
        // The native protocol; MESSAGE in its binary form, which any byte may be part of.
        head = "PRIORITY=" + QByteArray::number(priority) + "\nSYSLOG_IDENTIFIER=" + identifier +
               "\nMESSAGE\n";
        for (std::size_t i = 0; i < length.size(); ++i)
            length[i] = static_cast<unsigned char>(std::uint64_t(message.size()) >> (8 * i));
    } else {
        head = '<' + QByteArray::number(LOG_USER | priority) + '>' + identifier + '[' +
               QByteArray::number(qint64(::getpid())) + "]: ";
    }
    const bool journal = kind == Sink::journal;
    std::array<iovec, 4> parts{
        {{const_cast<char*>(head.constData()), std::size_t(head.size())},
         {length.data(), journal ? length.size() : 0},
         {const_cast<char*>(message.constData()), std::size_t(message.size())},
         {const_cast<char*>("\n"), journal ? 1u : 0u}}};
    msghdr datagram{};
    datagram.msg_iov = parts.data();
    datagram.msg_iovlen = parts.size();
    // Never wait for a busy log: a lost line is better than a late paste, or a frozen agent when
    // the daemon stops reading. (A datagram to a server that went away fails with an error, never
    // with SIGPIPE.)
    return ::sendmsg(fd, &datagram, MSG_DONTWAIT) >= 0 || errno == EAGAIN || errno == EWOULDBLOCK ||
           errno == ENOBUFS;
}

void send(int priority, const QByteArray& message) {
    if (!opened || !toLogServer)
        return;
    const int fd = sinkFd;
    const Sink kind = sink;
    if (kind != Sink::none && sendTo(fd, kind, priority, message))
        return;
    // The server went away (or was never there). Only the main thread, which owns the socket,
    // looks for it again, and not at every line.
    const QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        return;
    const qint64 now = nowMs();
    if (everReconnected && now - lastReconnectMs < reconnectIntervalMs)
        return;
    everReconnected = true;
    lastReconnectMs = now;
    connectSink();
    if (sink != Sink::none)
        sendTo(sinkFd, sink, priority, message);
}

// A line that stands for the lines a budget left out: on standard error and in the log.
void summarise(Budget& budget) {
    if (const int leftOut = budget.linesLeftOut.exchange(0)) {
        const QByteArray line = QByteArray::number(leftOut) + ' ' + budget.kind +
                                " lines left out after " +
                                QByteArray::number(budget.linesPerWindow) + " in " +
                                QByteArray::number(windowMs / 1000) + " s";
        std::fprintf(stderr, "%s: %s\n", identifier, line.constData());
        send(LOG_INFO, line);
    }
}

// What a flood left out is said at the end too, when no window follows it.
struct SummariesAtExit {
    ~SummariesAtExit() {
        if (!opened)
            return;
        summarise(debugLines);
        summarise(errorLines);
    }
} summariesAtExit;

bool admit(Budget& budget) {
    if (!opened)
        return true;
    const qint64 now = nowMs();
    qint64 start = budget.windowStart.load(std::memory_order_relaxed);
    if (now - start >= windowMs && budget.windowStart.compare_exchange_strong(start, now)) {
        budget.linesInWindow.store(0, std::memory_order_relaxed);
        summarise(budget);
    }
    if (budget.linesInWindow.fetch_add(1, std::memory_order_relaxed) < budget.linesPerWindow)
        return true;
    budget.linesLeftOut.fetch_add(1, std::memory_order_relaxed);
    return false;
}

#ifndef __APPLE__
// On macOS Qt's own handler writes its log to the unified log already when standard error is no
// terminal; only the error lines need syslog there, so Qt's handler is left as it is.
QtMessageHandler previousHandler = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const bool failure = type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg;
    // The reason the process is about to end is never left out.
    if (!admit(failure ? errorLines : debugLines) && type != QtFatalMsg)
        return;
    previousHandler(type, context, message);
    QByteArray line = message.toUtf8();
    if (context.category && std::strcmp(context.category, "default") != 0)
        line = context.category + QByteArray(": ") + line;
    send(failure ? LOG_ERR : LOG_DEBUG, line);
}
#endif
} // namespace

void open(const std::string& journal, const std::string& syslog) {
    // A terminal has a reader who scrolls: it gets every line, and nothing else is needed.
    if (opened || ::isatty(STDERR_FILENO))
        return;
    opened = true;
    journalPath = journal;
    syslogPath = syslog;
    // Standard error that already leads to the journal needs no second copy there.
    toLogServer = !stderrIsJournal();
    if (toLogServer)
        connectSink();
#ifndef __APPLE__
    previousHandler = qInstallMessageHandler(handleMessage);
#endif
}

void printErrorLine(const QString& message) {
    if (!admit(errorLines))
        return;
    const QByteArray line = message.toUtf8();
    std::fprintf(stderr, "%s: %s\n", identifier, line.constData());
    send(LOG_ERR, line);
}

} // namespace SystemLog
