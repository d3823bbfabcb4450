#include "XvfbServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>

XvfbServer::XvfbServer(const QString& display, const QStringList& extraArguments) {
    server_.setStandardErrorFile(QProcess::nullDevice());
    // It writes its display's number once it takes clients.
    QStringList arguments{u"-displayfd"_qs,  u"1"_qs,         u"-screen"_qs, u"0"_qs,
                          u"1024x768x24"_qs, u"-nolisten"_qs, u"tcp"_qs,     u"-noreset"_qs};
    if (!display.isEmpty())
        arguments.prepend(display);
    server_.start(u"Xvfb"_qs, arguments + extraArguments);
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
        if (!QFile::exists(u"/tmp/.X%1-lock"_qs.arg(number)) &&
            !QFile::exists(u"/tmp/.X11-unix/X%1"_qs.arg(number)))
            return u":%1"_qs.arg(number);
    return u":6999"_qs;
}
