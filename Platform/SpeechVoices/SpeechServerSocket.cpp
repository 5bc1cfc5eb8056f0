#include "SpeechServerSocket.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

namespace virelon::platform::speechd {

using std::chrono::milliseconds;

namespace {

int millisecondsUntil(Clock::time_point deadline) noexcept {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

} // namespace

bool waitUntil(int fd, short events, Clock::time_point deadline) noexcept {
    for (;;) {
        const int timeout = millisecondsUntil(deadline);
        if (timeout <= 0)
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0)
            return true; // errors and hang-ups show up in the following read or write
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

void sleepUntil(Clock::time_point wakeUp) noexcept {
    while (Clock::now() < wakeUp)
        ::poll(nullptr, 0, std::max(1, millisecondsUntil(wakeUp)));
}

ConnectOutcome tryConnect(const ServerAddress& address, Clock::time_point deadline,
                          FileDescriptor& connection) noexcept {
    FileDescriptor fd(
        ::socket(address.socketAddress.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return ConnectOutcome::failed;
    const auto* target = reinterpret_cast<const sockaddr*>(&address.socketAddress);
    int result = ::connect(fd.get(), target, address.length);
    while (result != 0 && errno == EINTR)
        result = ::connect(fd.get(), target, address.length);
    if (result != 0 && errno == EINPROGRESS) {
        int error = ETIMEDOUT;
        socklen_t size = sizeof error;
        if (waitUntil(fd.get(), POLLOUT, deadline))
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size);
        result = error == 0 ? 0 : -1;
        errno = error;
    }
    if (result == 0) {
        connection = std::move(fd);
        return ConnectOutcome::connected;
    }
    switch (errno) {
    case ENOENT:
    case ECONNREFUSED:
        return ConnectOutcome::nobodyListening;
    case EAGAIN: // a Unix socket's backlog is full: the server is there but busy
        return ConnectOutcome::busy;
    default:
        return ConnectOutcome::failed;
    }
}

} // namespace virelon::platform::speechd
