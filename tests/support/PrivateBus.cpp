#include "PrivateBus.h"

#include <QDeadlineTimer>
#include <QUuid>

using namespace Qt::StringLiterals;

PrivateBus::PrivateBus(const QString& limits) {
    // A session bus that starts no services: a test gets no desktop portal or other service
    // unless it brings its own.
    if (!config_.open())
        return;
    config_.write(QStringLiteral("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                                 "<auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                 "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                                 "%1</busconfig>")
                      .arg(limits)
                      .toUtf8());
    config_.flush();
    const QStringList arguments{u"--config-file="_s + config_.fileName(), u"--nofork"_s,
                                u"--print-address=1"_s};
    daemon_.setProcessChannelMode(QProcess::SeparateChannels);
    // The daemon complains about fd limits it may not raise; that is not the test's business.
    daemon_.setStandardErrorFile(QProcess::nullDevice());
    daemon_.start(u"dbus-daemon"_s, arguments);
    const QDeadlineTimer deadline(10000);
    while (!daemon_.canReadLine() && !deadline.hasExpired() &&
           daemon_.state() != QProcess::NotRunning)
        daemon_.waitForReadyRead(100);
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    if (address_.isEmpty())
        return;
    qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8());
    connectionName_ = QUuid::createUuid().toString();
    QDBusConnection::connectToBus(address_, connectionName_);
}

PrivateBus::~PrivateBus() {
    if (!connectionName_.isEmpty())
        QDBusConnection::disconnectFromBus(connectionName_);
    kill();
}

QDBusConnection PrivateBus::connection() const {
    return QDBusConnection(connectionName_);
}

void PrivateBus::kill() {
    if (daemon_.state() == QProcess::NotRunning)
        return;
    daemon_.kill();
    daemon_.waitForFinished(5000);
}
