#include "SessionBus.h"
#include "platform/Bounds.h"
#include "platform/SettingsSignal.h"

#include <chrono>

namespace virelon::platform {
namespace {

using namespace sessionbus;
using Clock = std::chrono::steady_clock;

class SessionBusPoster final : public SignalPoster {
public:
    Posted post(std::string_view name) noexcept override {
        try {
            return postTo(signalAddress(name));
        } catch (...) { // out of memory: nothing was sent
            return Posted::notSent;
        }
    }

private:
    Posted postTo(const std::optional<SignalAddress>& address) noexcept {
        if (!address)
            return Posted::notSent;
        const auto start = Clock::now();
        if (start < quietUntil_) {
            // Without waiting: has the bus that seemed hung answered since? Then this post goes
            // out as usual, and the one that ran into the bound is delivered late on that
            // connection.
            const auto since = bus_ ? settle(bus_.get(), start) : Settled::lost;
            if (since == Settled::timedOut)
                return Posted::notSent;
            if (since == Settled::lost)
                bus_.reset();
            quietUntil_ = {};
        }
        const auto deadline = start + signalPostBound;

        const bool reusing = bus_ != nullptr;
        bool emitted = false;
        int error = 0;
        auto outcome = send(*address, deadline, emitted, error);
        // A kept connection may have died since the last post (the bus restarted) without that
        // showing until now: one more try on a fresh connection, but only when nothing of this
        // post went out. A signal that may have been delivered is never sent twice.
        if (outcome == Settled::lost && reusing && !emitted)
            outcome = send(*address, deadline, emitted, error);
        if (outcome == Settled::timedOut)
            quietUntil_ = Clock::now() + signalCoolDown;
        if (outcome == Settled::done)
            return Posted::sent;
        return meansNoSessionBus(error) ? Posted::noBus : Posted::notSent;
    }

    // `error`: why no connection could be made, when none could.
    Settled send(const SignalAddress& address, Clock::time_point deadline, bool& emitted,
                 int& error) noexcept {
        emitted = false;
        error = 0;
        if (bus_ && !drain(deadline))
            bus_.reset();
        if (!bus_)
            bus_ = openSessionBus(&error);
        if (!bus_)
            return Settled::lost; // No session bus: cheap to find out again next time.

        // sd-bus writes at once or queues the whole message; an error means none of it left.
        if (sd_bus_emit_signal(bus_.get(), address.path.c_str(), address.interface.c_str(),
                               address.member.c_str(), nullptr) < 0) {
            bus_.reset();
            return Settled::lost;
        }
        emitted = true;
        const auto outcome = settle(bus_.get(), deadline);
        // A connection that ran into the bound is kept: the post still goes out if the bus
        // wakes up, and the next posts find out whether it has.
        if (outcome == Settled::lost)
            bus_.reset();
        return outcome;
    }

    // Handles what arrived since the last post (the Hello reply, a disconnection). False when the
    // connection is gone.
    bool drain(Clock::time_point deadline) noexcept {
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

std::unique_ptr<SignalPoster> makeSessionBusPoster() noexcept {
    // Only the object itself is allocated here: memory running out ends the program.
    return std::make_unique<SessionBusPoster>();
}

} // namespace virelon::platform
