#pragma once

#include "BusPeer.h"
#include "LineProcess.h"
#include "NotificationNames.h"
#include "PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// Small helpers, and the headers, that several tests share.

inline QString name(const char* notificationOrIdentifier) {
    return QString::fromLatin1(notificationOrIdentifier);
}

#ifdef KELMO_TEST_AGENT
// The real agent, and one with intervals set by its arguments.
inline const QString helperExecutable = QStringLiteral(KELMO_HELPER_EXECUTABLE);
inline const QString testAgent = QStringLiteral(KELMO_TEST_AGENT);
#endif

// A private bus with a peer on it that observes every answer of the agent.
struct AgentBus {
    explicit AgentBus(const QString& configuration = {})
        : bus(configuration) {
        peer.observe({NotificationName::didFinishLaunching, NotificationName::didPaste,
                      NotificationName::accessWasEnabled, NotificationName::willTerminate});
    }
    PrivateBus bus;
    BusPeer peer{bus.connection()};
};

inline QProcessEnvironment environmentWithDisplay(const QString& display) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(u"WAYLAND_DISPLAY"_s);
    display.isEmpty() ? env.remove(u"DISPLAY"_s) : env.insert(u"DISPLAY"_s, display);
    return env;
}

inline bool startAgent(LineProcess& agent, BusPeer& peer, const QString& program,
                       const QStringList& arguments = {},
                       const QProcessEnvironment& env = environmentWithDisplay({})) {
    const qsizetype before = peer.count(NotificationName::didFinishLaunching);
    agent.start(program, arguments, env);
    return peer.waitFor(NotificationName::didFinishLaunching, before + 1);
}

// Asks for the permission as the installer's second step does.
inline void askForAccess(BusPeer& peer) {
    peer.post(NotificationName::shouldStartCheckingForAccess);
    peer.post(NotificationName::shouldRequestAccess);
}

inline bool stopAgent(LineProcess& agent, BusPeer& peer) {
    peer.post(NotificationName::shouldTerminate);
    return agent.waitForExit() && agent.exitCode() == 0;
}

// The permission bits of `path`, itself rather than what a link points at; 0 when it is missing.
inline mode_t modeOf(const QString& path) {
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

inline QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeFile(const QString& path, const QByteArray& content, bool executable = false) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    if (executable)
        QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
}

// A Unix socket of `type` bound to `path`, for a stand-in of a service the agent reaches so.
inline int boundSocket(int type, const QString& path) {
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, QFile::encodeName(path).constData(),
                 sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}
