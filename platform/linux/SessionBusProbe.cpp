#include "SessionBusProbe.h"

#include <QFileInfo>
#include <dbus/dbus.h>

using namespace std::chrono;

namespace {
// Where libdbus looks when the session names no bus: the user's runtime folder.
QByteArray sessionBusAddress() {
    QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty())
        return address;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo::exists(QFile::decodeName(runtime + "/bus")))
        return "unix:path=" + runtime + "/bus";
    return {};
}

// The handshake and the Hello, each within what is left of `limit`. libdbus bounds a call's
// reply but not the handshake before it, so that one is driven here.
QString whyNoAnswer(DBusConnection* connection, milliseconds limit, DBusError& error) {
    const auto deadline = steady_clock::now() + limit;
    const auto left = [deadline] {
        return duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    };
    // The time left is read once a turn: read twice, the second could be -1, which libdbus
    // takes as "wait for ever", or less, which it aborts on.
    for (long long remaining = left();
         !dbus_connection_get_is_authenticated(connection) && remaining > 0 &&
         dbus_connection_read_write(connection, int(remaining));
         remaining = left())
        ;
    if (!dbus_connection_get_is_connected(connection))
        return QStringLiteral("it refused the connection");
    if (!dbus_connection_get_is_authenticated(connection))
        return QStringLiteral("no answer to the handshake within %1 s").arg(limit.count() / 1000.0);
    DBusMessage* hello = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                      DBUS_INTERFACE_DBUS, "Hello");
    if (!hello)
        return QStringLiteral("out of memory");
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(
        connection, hello, int(std::max<long long>(left(), 1)), &error);
    dbus_message_unref(hello);
    if (!reply)
        return QString::fromUtf8(error.message);
    dbus_message_unref(reply);
    return {};
}
} // namespace

bool sessionBusAnswers(milliseconds limit, QString& whyNot) {
    const QByteArray address = sessionBusAddress();
    if (address.isEmpty())
        return true; // nothing to ask; Qt's own connection says what is missing
    DBusError error;
    dbus_error_init(&error);
    QString why;
    if (DBusConnection* connection = dbus_connection_open_private(address.constData(), &error)) {
        dbus_connection_set_exit_on_disconnect(connection, false);
        why = whyNoAnswer(connection, limit, error);
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    } else {
        why = QString::fromUtf8(error.message);
    }
    dbus_error_free(&error);
    if (why.isEmpty())
        return true;
    whyNot = QStringLiteral("the session bus (%1) does not answer: %2")
                 .arg(QString::fromLocal8Bit(address), why);
    return false;
}
