#include "SessionBus.h"
#include "platform/SettingsSignal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace virelon::platform {

namespace {

// Whether the bus answers a method call before the deadline. A bus may answer Hello and then
// nothing, and the accessibility bridge's first call would wait for the D-Bus timeout.
bool answersCall(sd_bus* bus, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 ||
        sd_bus_set_method_call_timeout(bus, static_cast<std::uint64_t>(left.count())) < 0)
        return false;
    sd_bus_error error{}; // SD_BUS_ERROR_NULL, without the C compound literal
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetId", &error, &reply, "");
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r != -ETIMEDOUT;
}

} // namespace

bool setAsideHungSessionBus(std::chrono::milliseconds bound) noexcept {
    using namespace sessionbus;
    const auto bus = openSessionBus();
    if (!bus)
        return true; // No bus: every client finds that out at once.
    const auto deadline = std::chrono::steady_clock::now() + bound;
    const auto settled = settle(bus.get(), deadline);
    if (settled == Settled::lost || (settled == Settled::done && answersCall(bus.get(), deadline)))
        return true;
    // The settings signal keeps the real bus: it is posted again once the bus answers.
    keepSessionBusAddress();
    // Connecting to a path that is not a socket fails at once, for libdbus, GDBus and sd-bus.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/dev/null", 1);
    return false;
}

} // namespace virelon::platform
