#include "EisKeyboard.h"

#include <QSocketNotifier>
#include <libei.h>
#include <unistd.h>

namespace {
class LibeiKeyboard final : public EisKeyboard {
public:
    LibeiKeyboard(ei* context, Ended ended)
        : context_(context)
        , ended_(std::move(ended))
        , notifier_(ei_get_fd(context), QSocketNotifier::Read) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, this, [this] { dispatch(); });
    }
    ~LibeiKeyboard() override {
        if (device_)
            ei_device_unref(device_);
        ei_unref(context_);
    }

    bool ready() const override { return device_ && emulating_; }
    void key(std::uint32_t code, bool press) override {
        ei_device_keyboard_key(device_, code, press);
        ei_device_frame(device_, ei_now(context_));
    }

private:
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
            if (!device_ && ei_device_has_capability(device, EI_DEVICE_CAP_KEYBOARD))
                device_ = ei_device_ref(device);
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
            }
            break;
        case EI_EVENT_DISCONNECT:
            end(QStringLiteral("the compositor closed the input connection"));
            break;
        default:
            break;
        }
    }
    void end(const QString& why) {
        notifier_.setEnabled(false);
        emulating_ = false;
        if (const Ended ended = std::exchange(ended_, nullptr))
            ended(why);
    }

    ei* context_;
    Ended ended_;
    QSocketNotifier notifier_;
    ei_device* device_ = nullptr;
    bool emulating_ = false;
    std::uint32_t sequence_ = 0;
};
} // namespace

std::unique_ptr<EisKeyboard> EisKeyboard::connect(int fd, Ended ended) {
    ei* context = ei_new_sender(nullptr);
    if (!context) {
        ::close(fd);
        return nullptr;
    }
    ei_configure_name(context, "Kelmo Helper");
    // libei owns the descriptor from here, also when it fails.
    if (ei_setup_backend_fd(context, fd) != 0) {
        ei_unref(context);
        return nullptr;
    }
    return std::make_unique<LibeiKeyboard>(context, std::move(ended));
}

bool EisKeyboard::available() {
    return true;
}
