#include "PortalRequest.h"

#include "PortalNames.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {
// The portal answers a call at once; only the Response may wait for the user.
constexpr int replyTimeoutMs = 10000;
} // namespace

PortalRequest::PortalRequest(QDBusConnection bus, QObject* parent, Answered answered)
    : QObject(parent)
    , bus_(std::move(bus))
    , answered_(std::move(answered)) {
    timeout_.setSingleShot(true);
    connect(&timeout_, &QTimer::timeout, this,
            [this] { finish(2, {}, QStringLiteral("the desktop portal did not answer in time")); });
}

void PortalRequest::call(QDBusConnection bus, QObject* parent, const QString& interface,
                         const QString& method, QVariantList arguments, int answerTimeoutMs,
                         Answered answered) {
    static unsigned serial = 0;
    const QString token = QStringLiteral("kelmo%1").arg(++serial);
    QVariantMap options = arguments.takeLast().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments << options;

    auto* request = new PortalRequest(bus, parent, std::move(answered));
    // The portal's documented path for the answer: the caller's unique name without ':' and with
    // '.' as '_', then the token.
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    request->listen(QStringLiteral("%1/%2/%3").arg(Portal::requestPathPrefix, sender, token));
    request->timeout_.start(answerTimeoutMs);

    QDBusMessage message =
        QDBusMessage::createMethodCall(Portal::service, Portal::path, interface, method);
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, replyTimeoutMs), request);
    connect(watcher, &QDBusPendingCallWatcher::finished, request, [request, watcher] {
        const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        watcher->deleteLater();
        if (reply.isError())
            request->finish(2, {}, reply.error().message());
        else if (reply.value().path() != request->path_)
            request->listen(reply.value().path()); // an older portal chose its own path
    });
}

void PortalRequest::listen(const QString& path) {
    if (!path_.isEmpty())
        bus_.disconnect(Portal::service, path_, Portal::requestInterface,
                        QStringLiteral("Response"), this, SLOT(response(uint, QVariantMap)));
    path_ = path;
    bus_.connect(Portal::service, path_, Portal::requestInterface, QStringLiteral("Response"), this,
                 SLOT(response(uint, QVariantMap)));
}

void PortalRequest::response(uint code, const QVariantMap& results) {
    finish(code, results, {});
}

void PortalRequest::finish(uint code, const QVariantMap& results, const QString& error) {
    if (!answered_)
        return;
    timeout_.stop();
    bus_.disconnect(Portal::service, path_, Portal::requestInterface, QStringLiteral("Response"),
                    this, SLOT(response(uint, QVariantMap)));
    const Answered answered = std::exchange(answered_, nullptr);
    deleteLater();
    answered(code, results, error);
}
