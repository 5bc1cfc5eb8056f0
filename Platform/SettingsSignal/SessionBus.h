#pragma once

// Inside the adapter only: what the session-bus poster, observer and launch check share beyond
// the connection, and the one place where a signal name becomes a bus address.

#include "platform/SessionBusConnection.h"

#include <optional>
#include <string>
#include <string_view>

namespace virelon::platform::sessionbus {

/// From now on, openSessionBus() connects to the session bus as the environment names it at this
/// moment, whatever DBUS_SESSION_BUS_ADDRESS says later. For a launch that points the variable
/// elsewhere to keep other clients from waiting on a bus that stalls: the settings' own
/// connections still reach the bus once it answers again. Call before any thread is started.
void keepSessionBusAddress() noexcept;

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
