#pragma once

// Inside the adapter only: a non-blocking socket to the speech server, and waiting on it no
// later than a deadline.

#include "SpeechServerAddress.h"
#include "platform/FileDescriptor.h"

#include <chrono>

namespace virelon::platform::speechd {

using Clock = std::chrono::steady_clock;

/// True when `events` can be handled on fd before the deadline.
bool waitUntil(int fd, short events, Clock::time_point deadline) noexcept;

void sleepUntil(Clock::time_point wakeUp) noexcept;

enum class ConnectOutcome { connected, nobodyListening, busy, failed };

/// One attempt to connect, waiting no later than the deadline; `connection` holds the socket
/// when it succeeded.
ConnectOutcome tryConnect(const ServerAddress& address, Clock::time_point deadline,
                          FileDescriptor& connection) noexcept;

} // namespace virelon::platform::speechd
