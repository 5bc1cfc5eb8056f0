#include "SessionBus.h"
#include "SettingsSignal.h"

#include <chrono>

namespace virelon::platform {
namespace {

using namespace sessionbus;
using Clock = std::chrono::steady_clock;

// The longest one post may take, connecting and authenticating included: posts come from the UI
// thread, often from a slider being dragged.
constexpr auto kPostBound = std::chrono::milliseconds(500);

// After a post ran into kPostBound the bus is taken to be hung: posts are dropped for this long
// instead of each paying the bound again.
constexpr auto kCoolDown = std::chrono::seconds(30);

class SessionBusPoster final : public SignalPoster {
public:
    void post(std::string_view name) override {
        const auto address = signalAddress(name);
        if (!address)
            return;
        const auto start = Clock::now();
        if (start < quietUntil_)
            return;
        const auto deadline = start + kPostBound;

        const bool reusing = bus_ != nullptr;
        auto outcome = send(*address, deadline);
        // A kept connection may have died since the last post (the bus restarted) without that
        // showing until now: one more try on a fresh connection.
        if (outcome == Settled::lost && reusing)
            outcome = send(*address, deadline);
        if (outcome == Settled::timedOut)
            quietUntil_ = Clock::now() + kCoolDown;
    }

private:
    Settled send(const SignalAddress& address, Clock::time_point deadline) {
        if (bus_ && !drain(deadline))
            bus_.reset();
        if (!bus_)
            bus_ = openSessionBus();
        if (!bus_)
            return Settled::lost; // No session bus: cheap to find out again next time.

        auto outcome = Settled::lost;
        if (sd_bus_emit_signal(bus_.get(), address.path.c_str(), address.interface.c_str(),
                               address.member.c_str(), nullptr) >= 0)
            outcome = settle(bus_.get(), deadline);
        if (outcome != Settled::done)
            bus_.reset();
        return outcome;
    }

    // Handles what arrived since the last post (the Hello reply, a disconnection). False when the
    // connection is gone.
    bool drain(Clock::time_point deadline) {
        for (;;) {
            const int r = sd_bus_process(bus_.get(), nullptr);
            if (r < 0)
                return false;
            if (r == 0 || Clock::now() >= deadline)
                return true;
        }
    }

    BusHandle bus_;
    Clock::time_point quietUntil_{};
};

} // namespace

std::unique_ptr<SignalPoster> makeSessionBusPoster() {
    return std::make_unique<SessionBusPoster>();
}

} // namespace virelon::platform
