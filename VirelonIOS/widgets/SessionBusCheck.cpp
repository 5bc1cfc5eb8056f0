#include "SessionBusCheck.h"

#include "SessionBus.h"

#include <cstdlib>

namespace virelon::widgets {

bool setAsideHungSessionBus(std::chrono::milliseconds bound) {
    using namespace platform::sessionbus;
    const auto bus = openSessionBus();
    if (!bus)
        return true; // No bus: every client finds that out at once.
    if (settle(bus.get(), std::chrono::steady_clock::now() + bound) != Settled::timedOut)
        return true;
    // Connecting to a path that is not a socket fails at once, for libdbus, GDBus and sd-bus.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/dev/null", 1);
    return false;
}

} // namespace virelon::widgets
