#include "SpeechServerAddress.h"

#include <libspeechd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <netdb.h>
#include <sys/un.h>

namespace virelon::platform::speechd {

namespace {

struct AddressDeleter {
    void operator()(SPDConnectionAddress* address) const noexcept {
        SPDConnectionAddress__free(address);
    }
};

} // namespace

std::optional<ServerAddress> serverAddress() {
    char* error = nullptr;
    std::unique_ptr<SPDConnectionAddress, AddressDeleter> address(spd_get_default_address(&error));
    std::free(error);
    if (!address)
        return std::nullopt;

    ServerAddress result;
    if (address->method == SPD_METHOD_UNIX_SOCKET && address->unix_socket_name) {
        sockaddr_un unixAddress{};
        unixAddress.sun_family = AF_UNIX;
        const std::string_view path = address->unix_socket_name;
        if (path.empty() || path.size() >= sizeof unixAddress.sun_path)
            return std::nullopt;
        path.copy(unixAddress.sun_path, path.size());
        std::memcpy(&result.socketAddress, &unixAddress, sizeof unixAddress);
        result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
        result.unixPath = path;
        return result;
    }
    if (address->method == SPD_METHOD_INET_SOCKET && address->inet_socket_host) {
        std::string_view host = address->inet_socket_host;
        if (host == "localhost")
            host = "127.0.0.1";
        if (address->inet_socket_port <= 0 || address->inet_socket_port > 65535)
            return std::nullopt;
        // Numeric host and port only: a name lookup could block without bound.
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(std::string(host).c_str(),
                        std::to_string(address->inet_socket_port).c_str(), &hints, &found) != 0)
            return std::nullopt;
        const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, &freeaddrinfo);
        if (found->ai_addrlen > sizeof result.socketAddress)
            return std::nullopt;
        std::memcpy(&result.socketAddress, found->ai_addr, found->ai_addrlen);
        result.length = found->ai_addrlen;
        return result;
    }
    return std::nullopt;
}

} // namespace virelon::platform::speechd
