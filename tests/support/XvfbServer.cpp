#include "XvfbServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>

using namespace Qt::StringLiterals;

XvfbServer::XvfbServer(const QString& display, const QStringList& extraArguments) {
    server_.setStandardErrorFile(QProcess::nullDevice());
    // It writes its display's number once it takes clients.
    QStringList arguments{u"-displayfd"_s,  u"1"_s,         u"-screen"_s, u"0"_s,
                          u"1024x768x24"_s, u"-nolisten"_s, u"tcp"_s,     u"-noreset"_s};
    if (!display.isEmpty())
        arguments.prepend(display);
    server_.start(u"Xvfb"_s, arguments + extraArguments);
    const QDeadlineTimer deadline(60000);
    while (!server_.canReadLine() && !deadline.hasExpired() &&
           server_.state() != QProcess::NotRunning)
        server_.waitForReadyRead(100);
    const QString number = QString::fromUtf8(server_.readLine()).trimmed();
    if (!number.isEmpty())
        display_ = QLatin1Char(':') + number;
}

XvfbServer::~XvfbServer() {
    kill();
}

void XvfbServer::kill() {
    if (server_.state() == QProcess::NotRunning)
        return;
    server_.terminate();
    if (!server_.waitForFinished(10000)) {
        server_.kill();
        server_.waitForFinished(5000);
    }
}

QString XvfbServer::unusedDisplay() {
    // Servers started with -displayfd take the lowest free numbers; this range stays clear of
    // them, and the process id keeps parallel tests apart.
    for (int number = 2000 + int(QCoreApplication::applicationPid() % 4000); number < 7000;
         ++number)
        if (!QFile::exists(u"/tmp/.X%1-lock"_s.arg(number)) &&
            !QFile::exists(u"/tmp/.X11-unix/X%1"_s.arg(number)))
            return u":%1"_s.arg(number);
    return u":6999"_s;
}
