#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QTemporaryFile>

// A dbus-daemon of the test's own. While it lives, DBUS_SESSION_BUS_ADDRESS points at it, so
// every process the test starts uses it as its session bus.
class PrivateBus {
public:
    // `limits`: <limit> elements for the daemon's configuration.
    explicit PrivateBus(const QString& limits = {});
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool isRunning() const { return !address_.isEmpty(); }
    QString address() const { return address_; }
    // The test's own connection to the bus.
    QDBusConnection connection() const;
    // Ends the daemon, as a crash of the user's session bus would.
    void kill();

private:
    QTemporaryFile config_;
    QProcess daemon_;
    QString address_;
    QString connectionName_;
};
