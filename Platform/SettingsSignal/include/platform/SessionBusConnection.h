#pragma once

// A connection to the user's session bus as the settings signal makes it, for the application's
// other users of the bus (one window per session): the same bus, the address kept by
// setAsideHungSessionBus() included, and the same bounded wait for it to answer.

#include "platform/SdBusHandles.h"

#include <chrono>

namespace virelon::platform::sessionbus {

/// A new connection to the user's session bus; null when there is none, with the negative errno
/// in `error` when given. Does not wait for the bus: authentication proceeds as the connection is
/// processed.
BusHandle openSessionBus(int* error = nullptr) noexcept;

/// Whether a failure of openSessionBus() means there is no session bus at all: none is named
/// (no address, no runtime folder), its socket is not there, or nobody listens on it.
bool meansNoSessionBus(int error) noexcept;

enum class Settled { done, lost, timedOut };

/// Processes the connection, waiting no later than deadline, until nothing is left to write and
/// the bus has answered Hello (so it has accepted us and what we sent). sd_bus_flush() would wait
/// for as long as a silent peer keeps the connection open. On a fresh connection messages stay
/// queued until authentication is done, so that exchange is within the same bound.
Settled settle(sd_bus* bus, std::chrono::steady_clock::time_point deadline) noexcept;

} // namespace virelon::platform::sessionbus
