#pragma once

// What the session-bus poster and observer share: the connection handle and the one place where a
// signal name becomes a bus address.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <systemd/sd-bus.h>

namespace virelon::platform::sessionbus {

struct BusCloser {
    // Closes without flushing: a flush against a hung bus would block for sd-bus's 90 s.
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusHandle = std::unique_ptr<sd_bus, BusCloser>;

/// A new connection to the user's session bus; null when there is none. Does not wait for the
/// bus: authentication proceeds as the connection is processed.
BusHandle openSessionBus();

/// From now on, openSessionBus() connects to the session bus as the environment names it at this
/// moment, whatever DBUS_SESSION_BUS_ADDRESS says later. For a launch that points the variable
/// elsewhere to keep other clients from waiting on a bus that stalls: the settings' own
/// connections still reach the bus once it answers again. Call before any thread is started.
void keepSessionBusAddress();

enum class Settled { done, lost, timedOut };

/// Processes the connection, waiting no later than deadline, until nothing is left to write and
/// the bus has answered Hello (so it has accepted us and what we sent). sd_bus_flush() would wait
/// for as long as a silent peer keeps the connection open. On a fresh connection messages stay
/// queued until authentication is done, so that exchange is within the same bound.
Settled settle(sd_bus* bus, std::chrono::steady_clock::time_point deadline);

/// Where a named signal travels on the bus.
struct SignalAddress {
    std::string path;
    std::string interface;
    std::string member;
};

/// "org.virelon.voices.ios.settingsChanged" → interface "org.virelon.voices.ios", member
/// "settingsChanged", path "/org/virelon/voices/ios". Nothing when the name has no "." or either
/// part is not a valid bus interface or member name.
std::optional<SignalAddress> signalAddress(std::string_view name);

} // namespace virelon::platform::sessionbus
