#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QTimer>
#include <QVariantMap>
#include <functional>

// One call to the desktop portal that answers through a Request object: the call's reply names
// the object, and the answer comes later as its Response signal (the user may have a dialog in
// between). The Response is subscribed to before the call is made, or it could be missed. Every
// wait is bounded; the object deletes itself once it has answered.
class PortalRequest final : public QObject {
    Q_OBJECT
public:
    // Response 0 is success, 1 means the user declined, 2 anything else; `error` is set instead
    // when there was no Response at all.
    using Answered =
        std::function<void(uint response, const QVariantMap& results, const QString& error)>;

    // Calls `method` of `interface` with `arguments`, whose last one is the options, to which the
    // handle token is added.
    static void call(QDBusConnection bus, QObject* parent, const QString& interface,
                     const QString& method, QVariantList arguments, int answerTimeoutMs,
                     Answered answered);

private Q_SLOTS:
    void response(uint code, const QVariantMap& results);

private:
    PortalRequest(QDBusConnection bus, QObject* parent, Answered answered);
    void listen(const QString& path);
    void finish(uint code, const QVariantMap& results, const QString& error);

    QDBusConnection bus_;
    QString path_;
    QTimer timeout_;
    Answered answered_;
};
