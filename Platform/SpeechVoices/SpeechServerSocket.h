#pragma once

// Inside the adapter only: a non-blocking socket to the speech server, and waiting on it no
// later than a deadline.

#include "SpeechServerAddress.h"

#include <chrono>
#include <utility>

#include <unistd.h>

namespace virelon::platform::speechd {

using Clock = std::chrono::steady_clock;

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

/// True when `events` can be handled on fd before the deadline.
bool waitUntil(int fd, short events, Clock::time_point deadline) noexcept;

void sleepUntil(Clock::time_point wakeUp) noexcept;

enum class ConnectOutcome { connected, nobodyListening, busy, failed };

/// One attempt to connect, waiting no later than the deadline; `connection` holds the socket
/// when it succeeded.
ConnectOutcome tryConnect(const ServerAddress& address, Clock::time_point deadline,
                          FileDescriptor& connection) noexcept;

} // namespace virelon::platform::speechd
