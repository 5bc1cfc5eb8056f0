#include "SessionBus.h"
#include "platform/Bounds.h"
#include "platform/SettingsSignal.h"

#include <chrono>

namespace virelon::platform {

bool postSessionBusSignalOnce(std::string_view name) noexcept {
    using namespace sessionbus;
    try {
        // The same bound as a post of the kept poster.
        const auto deadline = std::chrono::steady_clock::now() + signalPostBound;
        const auto address = signalAddress(name);
        if (!address)
            return false;
        const auto bus = openSessionBus();
        return bus &&
               sd_bus_emit_signal(bus.get(), address->path.c_str(), address->interface.c_str(),
                                  address->member.c_str(), nullptr) >= 0 &&
               settle(bus.get(), deadline) == Settled::done;
    } catch (...) { // out of memory
        return false;
    }
}

} // namespace virelon::platform
