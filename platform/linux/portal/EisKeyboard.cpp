#include "EisKeyboard.h"

#include "XkbKeys.h"

#include <QSocketNotifier>
#include <QTimer>
#include <fcntl.h>
#include <libei.h>
#include <poll.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

namespace {
constexpr int pingTimeoutMs = 1000;

class LibeiKeyboard final : public EisKeyboard {
public:
    LibeiKeyboard(ei* context, int socket, Ended ended)
        : context_(context)
        , socket_(socket)
        , ended_(std::move(ended))
        , notifier_(ei_get_fd(context), QSocketNotifier::Read) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, this, [this] { dispatch(); });
        pingTimeout_.setSingleShot(true);
        pingTimeout_.setInterval(pingTimeoutMs);
        QObject::connect(&pingTimeout_, &QTimer::timeout, this, [this] { answered(); });
    }
    ~LibeiKeyboard() override {
        if (ping_)
            ei_ping_unref(ping_);
        if (device_)
            ei_device_unref(device_);
        ei_unref(context_);
        xkb_context_unref(xkb_);
        ::close(socket_);
    }

    bool ready() const override { return device_ && emulating_; }
    void key(std::uint32_t code, bool press) override {
        if (!ready()) // the rest of a chord whose connection ended in it goes nowhere
            return;
        ei_device_keyboard_key(device_, code, press);
        ei_device_frame(device_, ei_now(context_));
        noticeEnd();
    }
    XkbKeys* keys() override { return keys_.known() ? &keys_ : nullptr; }
    void ping(std::function<void()> done) override {
        if (ping_)
            ei_ping_unref(ping_);
        pingDone_ = std::move(done);
        ping_ = ei_new_ping(context_);
        ei_ping(ping_);
        pingTimeout_.start();
        noticeEnd();
    }

private:
    // After a send that failed because the compositor hung up, libei watches the socket no more
    // and tells no end: the socket itself says it.
    void noticeEnd() {
        pollfd peer{socket_, POLLRDHUP, 0};
        if (::poll(&peer, 1, 0) != 1 || !(peer.revents & (POLLRDHUP | POLLHUP | POLLERR)))
            return;
        emulating_ = false;
        QMetaObject::invokeMethod(
            this, [this] { end(QStringLiteral("the compositor closed the input connection")); },
            Qt::QueuedConnection);
    }
    void dispatch() {
        ei_dispatch(context_);
        while (ei_event* event = ei_get_event(context_)) {
            handle(event);
            ei_event_unref(event);
        }
    }
    void handle(ei_event* event) {
        ei_device* device = ei_event_get_device(event);
        switch (ei_event_get_type(event)) {
        case EI_EVENT_SEAT_ADDED:
            ei_seat_bind_capabilities(ei_event_get_seat(event), EI_DEVICE_CAP_KEYBOARD, nullptr);
            break;
        case EI_EVENT_DEVICE_ADDED:
            if (!device_ && ei_device_has_capability(device, EI_DEVICE_CAP_KEYBOARD)) {
                device_ = ei_device_ref(device);
                readKeymap();
            }
            break;
        case EI_EVENT_DEVICE_RESUMED:
            if (device == device_) {
                ei_device_start_emulating(device_, ++sequence_);
                emulating_ = true;
                Q_EMIT becameReady();
            }
            break;
        case EI_EVENT_DEVICE_PAUSED:
            if (device == device_)
                emulating_ = false;
            break;
        case EI_EVENT_DEVICE_REMOVED:
            if (device == device_) {
                ei_device_unref(std::exchange(device_, nullptr));
                emulating_ = false;
                keys_.reset();
            }
            break;
        case EI_EVENT_PONG:
            if (ei_event_pong_get_ping(event) == ping_)
                answered();
            break;
        case EI_EVENT_DISCONNECT:
            end(QStringLiteral("the compositor closed the input connection"));
            break;
        default:
            break;
        }
    }
    // The keycodes the keys are typed with are those of this keymap.
    void readKeymap() {
        ei_keymap* keymap = ei_device_keyboard_get_keymap(device_);
        if (!keymap || ei_keymap_get_type(keymap) != EI_KEYMAP_TYPE_XKB)
            return;
        if (!xkb_)
            xkb_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        if (xkb_)
            keys_.read(xkb_, ei_keymap_get_fd(keymap), ei_keymap_get_size(keymap));
    }
    void answered() {
        pingTimeout_.stop();
        if (ping_)
            ei_ping_unref(std::exchange(ping_, nullptr));
        if (const auto done = std::exchange(pingDone_, nullptr))
            done();
    }
    void end(const QString& why) {
        notifier_.setEnabled(false);
        emulating_ = false;
        if (const Ended ended = std::exchange(ended_, nullptr))
            ended(why);
    }

    ei* context_;
    int socket_; // a copy of libei's, to see whether the compositor is still there
    Ended ended_;
    QSocketNotifier notifier_;
    ei_device* device_ = nullptr;
    bool emulating_ = false;
    std::uint32_t sequence_ = 0;
    xkb_context* xkb_ = nullptr;
    XkbKeys keys_;
    struct ei_ping* ping_ = nullptr; // "ei_ping" alone names the function
    std::function<void()> pingDone_;
    QTimer pingTimeout_;
};
} // namespace

std::unique_ptr<EisKeyboard> EisKeyboard::connect(int fd, Ended ended) {
    ei* context = ei_new_sender(nullptr);
    if (!context) {
        ::close(fd);
        return nullptr;
    }
    ei_configure_name(context, "Kelmo Helper");
    const int socket = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    // libei owns the descriptor from here, also when it fails.
    if (ei_setup_backend_fd(context, fd) != 0 || socket < 0) {
        if (socket >= 0)
            ::close(socket);
        ei_unref(context);
        return nullptr;
    }
    return std::make_unique<LibeiKeyboard>(context, socket, std::move(ended));
}

bool EisKeyboard::available() {
    return true;
}
