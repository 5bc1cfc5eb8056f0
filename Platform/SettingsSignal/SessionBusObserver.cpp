#include "SessionBus.h"
#include "platform/Bounds.h"
#include "platform/SettingsSignal.h"

#include <cerrno>
#include <chrono>
#include <utility>

namespace virelon::platform {
namespace {

using namespace sessionbus;

class SessionBusObserver final : public SignalObserver {
public:
    SessionBusObserver(BusHandle bus, std::function<void()> callback)
        : bus_(std::move(bus)), callback_(std::move(callback)) {}

    bool subscribe(const SignalAddress& address) noexcept {
        // Bounded: sd-bus would otherwise wait 90 s for a bus that accepts and never answers.
        const auto deadline = std::chrono::steady_clock::now() + signalSubscribeBound;
        // sd_bus_call() waits for authentication without a bound of its own: get that done first.
        if (settle(bus_.get(), deadline) != Settled::done)
            return false;
        const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0 ||
            sd_bus_set_method_call_timeout(bus_.get(),
                                           static_cast<std::uint64_t>(remaining.count())) < 0)
            return false;
        // A floating match (no slot returned) lives as long as the connection.
        return sd_bus_match_signal(bus_.get(), nullptr, nullptr, address.path.c_str(),
                                   address.interface.c_str(), address.member.c_str(), &onSignal,
                                   this) >= 0;
    }

    int fd() const noexcept override { return sd_bus_get_fd(bus_.get()); }

    short events() const noexcept override {
        const int events = sd_bus_get_events(bus_.get());
        return events < 0 ? short{0} : static_cast<short>(events);
    }

    std::uint64_t timeoutUsec() const noexcept override {
        std::uint64_t usec = 0;
        return sd_bus_get_timeout(bus_.get(), &usec) < 0 ? UINT64_MAX : usec;
    }

    bool process() noexcept override {
        for (;;) {
            const int r = sd_bus_process(bus_.get(), nullptr);
            if (r < 0)
                return false;
            if (r == 0)
                return true;
        }
    }

    bool wait(std::uint64_t timeoutUsec) noexcept override {
        const int r = sd_bus_wait(bus_.get(), timeoutUsec);
        if (r < 0 && r != -EINTR)
            return false;
        return process();
    }

private:
    // noexcept: an exception must not unwind through sd-bus's C frames.
    static int onSignal(sd_bus_message*, void* userdata, sd_bus_error*) noexcept {
        auto* self = static_cast<SessionBusObserver*>(userdata);
        if (self->callback_)
            self->callback_();
        return 0;
    }

    BusHandle bus_;
    std::function<void()> callback_;
};

} // namespace

std::unique_ptr<SignalObserver> observeSessionBusSignal(std::string_view name,
                                                        std::function<void()> callback) noexcept {
    try {
        const auto address = signalAddress(name);
        if (!address)
            return nullptr;
        auto bus = openSessionBus();
        if (!bus)
            return nullptr;
        auto observer = std::make_unique<SessionBusObserver>(std::move(bus), std::move(callback));
        if (!observer->subscribe(*address))
            return nullptr;
        return observer;
    } catch (...) { // out of memory
        return nullptr;
    }
}

} // namespace virelon::platform
