#pragma once

// A listening Unix socket at a path: a server that takes connections and then says nothing, or
// the place a scripted peer accepts them (accept() on fd()).

#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace virelon::test {

class SilentSocket {
public:
    explicit SilentSocket(const std::filesystem::path& path) {
        std::filesystem::create_directories(path.parent_path());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 8) != 0)
            ::close(std::exchange(fd_, -1));
    }
    ~SilentSocket() { ::close(fd_); }
    SilentSocket(const SilentSocket&) = delete;
    SilentSocket& operator=(const SilentSocket&) = delete;

    int fd() const { return fd_; } ///< -1 when it could not listen
private:
    int fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

} // namespace virelon::test
