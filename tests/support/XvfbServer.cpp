#include "XvfbServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTest>
#include <xcb/xcb.h>

namespace {
bool answers(const QString& display) {
    xcb_connection_t* connection = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    const bool ok = !xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    return ok;
}
} // namespace

QStringList XvfbServer::baseArguments(const QStringList& extra) const {
    return QStringList{u"-screen"_qs,   u"0"_qs,   u"1024x768x24"_qs,
                       u"-nolisten"_qs, u"tcp"_qs, u"-noreset"_qs} +
           extra;
}

XvfbServer::XvfbServer(const QStringList& extraArguments) {
    server_.setStandardErrorFile(QProcess::nullDevice());
    server_.start(u"Xvfb"_qs,
                  QStringList{u"-displayfd"_qs, u"1"_qs} + baseArguments(extraArguments));
    const QDeadlineTimer deadline(20000);
    while (!server_.canReadLine() && !deadline.hasExpired() &&
           server_.state() != QProcess::NotRunning)
        server_.waitForReadyRead(100);
    const QString number = QString::fromUtf8(server_.readLine()).trimmed();
    if (!number.isEmpty())
        display_ = QLatin1Char(':') + number;
}

XvfbServer::XvfbServer(const QString& display, const QStringList& extraArguments) {
    server_.setStandardErrorFile(QProcess::nullDevice());
    server_.start(u"Xvfb"_qs, QStringList{display} + baseArguments(extraArguments));
    if (QTest::qWaitFor([&] { return server_.state() == QProcess::NotRunning || answers(display); },
                        20000) &&
        server_.state() == QProcess::Running)
        display_ = display;
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
