#pragma once

#include "LineProcess.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

// An X server of the test's own; -noreset spares the next client a stall after the last one left.
class XvfbServer {
public:
    // On `display` (":N", where a test wants one to appear), else on a free one.
    explicit XvfbServer(const QString& display = {}, const QStringList& extraArguments = {}) {
        server_.process().setStandardErrorFile(QProcess::nullDevice());
        // It writes its display's number once it takes clients.
        const QString arguments = u"%1 -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset"_s;
        server_.start(u"Xvfb"_s,
                      arguments.arg(display).split(u' ', Qt::SkipEmptyParts) + extraArguments);
        if (server_.waitForLineCount(1, 60000))
            display_ = u':' + server_.output().first();
    }
    // Ended, not killed, so it cleans its display's files up; server_ kills it if it lingers.
    ~XvfbServer() { server_.process().terminate(), server_.process().waitForFinished(10000); }

    bool isRunning() const { return !display_.isEmpty() && server_.isRunning(); }
    QString display() const { return display_; }
    qint64 pid() const { return server_.pid(); }

    // A display name that no server answers on, and that no other test will take.
    static QString unusedDisplay() {
        // Above the numbers -displayfd hands out; the process id keeps parallel tests apart.
        int number = 2000 + int(QCoreApplication::applicationPid() % 4000);
        while (QFile::exists(u"/tmp/.X%1-lock"_s.arg(number)) ||
               QFile::exists(u"/tmp/.X11-unix/X%1"_s.arg(number)))
            ++number;
        return u":%1"_s.arg(number);
    }

private:
    LineProcess server_;
    QString display_;
};

// openbox names itself on the root before it manages windows, and loses a window that asks to be
// shown meanwhile; it runs its --startup command once it manages them.
inline bool startOpenbox(LineProcess& windowManager, const QProcessEnvironment& env,
                         int timeoutMs = 30000) {
    QTemporaryDir folder;
    const QString ready = folder.filePath(u"ready"_s);
    windowManager.process().setStandardErrorFile(QProcess::nullDevice());
    windowManager.start(u"openbox"_s, {u"--startup"_s, u"touch "_s + ready}, env);
    return QTest::qWaitFor([&] { return QFile::exists(ready); }, timeoutMs);
}
