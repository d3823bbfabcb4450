#pragma once

#include "LineProcess.h"

#include <QCoreApplication>
#include <QFile>

// An X server of the test's own. -noreset keeps it from resetting (and stalling the next client)
// when its last client leaves.
class XvfbServer {
public:
    // On `display` (":N"; a test may need one to appear where it was missing), or on a free one
    // of the server's choosing.
    explicit XvfbServer(const QString& display = {}, const QStringList& extraArguments = {}) {
        server_.process().setStandardErrorFile(QProcess::nullDevice());
        // It writes its display's number once it takes clients.
        const QStringList arguments{QStringLiteral("-displayfd"),  QStringLiteral("1"),
                                    QStringLiteral("-screen"),     QStringLiteral("0"),
                                    QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                    QStringLiteral("tcp"),         QStringLiteral("-noreset")};
        server_.start(QStringLiteral("Xvfb"),
                      (display.isEmpty() ? QStringList() : QStringList{display}) + arguments +
                          extraArguments);
        if (server_.waitForLineCount(1, 60000))
            display_ = QLatin1Char(':') + server_.output().first();
    }
    ~XvfbServer() {
        server_.terminate();
        if (!server_.process().waitForFinished(10000))
            server_.process().kill();
    }

    bool isRunning() const { return !display_.isEmpty() && server_.isRunning(); }
    QString display() const { return display_; }
    qint64 pid() const { return server_.pid(); }

    // A display name that no server answers on, and that no other test will take.
    static QString unusedDisplay() {
        // Servers started with -displayfd take the lowest free numbers; this range stays clear
        // of them, and the process id keeps parallel tests apart.
        for (int number = 2000 + int(QCoreApplication::applicationPid() % 4000); number < 7000;
             ++number)
            if (!QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) &&
                !QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
                return QStringLiteral(":%1").arg(number);
        return QStringLiteral(":6999");
    }

private:
    LineProcess server_;
    QString display_;
};
