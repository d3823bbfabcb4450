#include "SystemLog.h"

#include <array>
#include <atomic>
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
// one line, so that a flood of pastes neither floods the log nor slows the agent.
constexpr qint64 windowMs = 10'000;

struct Budget {
    const int linesPerWindow;
    const char* const kind;
    std::atomic<qint64> windowStart{0};
    std::atomic<int> linesInWindow{0};
    std::atomic<int> linesLeftOut{0};
};
Budget debugLines{200, "log"};
Budget errorLines{50, "error"};

enum class Sink { none, journal, syslog };
std::atomic<Sink> sink{Sink::none};
int journalFd = -1;

bool stderrIsJournal() {
    // systemd names the journal stream it gave a service as "device:inode".
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat info;
    if (stream.isEmpty() || ::fstat(STDERR_FILENO, &info) != 0)
        return false;
    return stream == QByteArray::number(quint64(info.st_dev)) + ':' +
                         QByteArray::number(quint64(info.st_ino));
}

int connectJournal(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
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

void send(int priority, const QByteArray& message) {
    switch (sink.load(std::memory_order_relaxed)) {
    case Sink::none:
        return;
    case Sink::syslog:
        ::syslog(priority, "%s", message.constData());
        return;
    case Sink::journal:
        break;
    }
    // The native protocol; MESSAGE in its binary form, which any byte may be part of.
    const QByteArray head = "PRIORITY=" + QByteArray::number(priority) +
                            "\nSYSLOG_IDENTIFIER=" + identifier + "\nMESSAGE\n";
    std::array<unsigned char, 8> length;
    for (std::size_t i = 0; i < length.size(); ++i)
        length[i] = static_cast<unsigned char>(std::uint64_t(message.size()) >> (8 * i));
    std::array<iovec, 4> parts{
        {{const_cast<char*>(head.constData()), std::size_t(head.size())},
         {length.data(), length.size()},
         {const_cast<char*>(message.constData()), std::size_t(message.size())},
         {const_cast<char*>("\n"), 1}}};
    msghdr datagram{};
    datagram.msg_iov = parts.data();
    datagram.msg_iovlen = parts.size();
    // Never wait for a busy journal: a lost log line is better than a late paste. (A datagram
    // to a journal that went away fails with an error, never with SIGPIPE.)
    ::sendmsg(journalFd, &datagram, MSG_DONTWAIT);
}

void summarise(Budget& budget) {
    if (const int leftOut = budget.linesLeftOut.exchange(0))
        send(LOG_INFO, QByteArray::number(leftOut) + ' ' + budget.kind + " lines left out after " +
                           QByteArray::number(budget.linesPerWindow) + " in " +
                           QByteArray::number(windowMs / 1000) + " s");
}

// What a flood left out is said at the end too, when no window follows it.
struct SummariesAtExit {
    ~SummariesAtExit() {
        summarise(debugLines);
        summarise(errorLines);
    }
} summariesAtExit;

bool admit(Budget& budget) {
    const qint64 now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
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
    previousHandler(type, context, message);
    const bool failure = type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg;
    if (!admit(failure ? errorLines : debugLines))
        return;
    QByteArray line = message.toUtf8();
    if (context.category && std::strcmp(context.category, "default") != 0)
        line = context.category + QByteArray(": ") + line;
    send(failure ? LOG_ERR : LOG_DEBUG, line);
}
#endif
} // namespace

void open(const std::string& journal) {
    if (sink != Sink::none || ::isatty(STDERR_FILENO) || stderrIsJournal())
        return;
    journalFd = connectJournal(journal);
    if (journalFd < 0)
        ::openlog(identifier, LOG_PID, LOG_USER);
    sink = journalFd >= 0 ? Sink::journal : Sink::syslog;
#ifndef __APPLE__
    previousHandler = qInstallMessageHandler(handleMessage);
#endif
}

void printErrorLine(const QString& message) {
    const QByteArray line = message.toUtf8();
    std::fprintf(stderr, "%s: %s\n", identifier, line.constData());
    if (sink != Sink::none && admit(errorLines))
        send(LOG_ERR, line);
}

} // namespace SystemLog
