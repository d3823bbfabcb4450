#pragma once

#include "LineProcess.h"

#include <QDBusConnection>
#include <QTemporaryFile>
#include <QUuid>

// A dbus-daemon of the test's own; while it lives, every process the test starts uses it.
class PrivateBus {
public:
    // `limits`: <limit> elements for the daemon's configuration.
    explicit PrivateBus(const QString& limits = {}) {
        // It starts no services: a test has no desktop portal unless it brings its own.
        config_.open();
        config_.write(
            u"<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
            "<auth>EXTERNAL</auth><policy context=\"default\">"
            "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
            "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>%1</busconfig>"_s.arg(limits)
                .toUtf8());
        config_.flush();
        // The daemon complains about fd limits it may not raise; that is not the test's business.
        daemon_.process().setStandardErrorFile(QProcess::nullDevice());
        daemon_.start(u"dbus-daemon"_s, {u"--config-file="_s + config_.fileName(), u"--nofork"_s,
                                         u"--print-address=1"_s});
        if (!daemon_.waitForLineCount(1))
            return;
        address_ = daemon_.output().first();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8());
        connectionName_ = QUuid::createUuid().toString();
        QDBusConnection::connectToBus(address_, connectionName_);
    }
    ~PrivateBus() { QDBusConnection::disconnectFromBus(connectionName_); }

    bool isRunning() const { return !address_.isEmpty(); }
    qint64 pid() const { return daemon_.pid(); }
    QString address() const { return address_; }
    QDBusConnection connection() const { return QDBusConnection(connectionName_); }

private:
    QTemporaryFile config_;
    LineProcess daemon_;
    QString address_;
    QString connectionName_;
};
