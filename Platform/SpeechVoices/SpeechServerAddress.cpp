#include "SpeechServerAddress.h"

#include <libspeechd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include <arpa/inet.h>
#include <netinet/in.h>
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
        // Numeric addresses only: a name lookup could block without bound.
        std::string_view host = address->inet_socket_host;
        if (host == "localhost")
            host = "127.0.0.1";
        if (address->inet_socket_port <= 0 || address->inet_socket_port > 65535)
            return std::nullopt;
        const auto port = htons(static_cast<std::uint16_t>(address->inet_socket_port));
        const std::string hostText(host);
        sockaddr_in inet4{};
        sockaddr_in6 inet6{};
        if (inet_pton(AF_INET, hostText.c_str(), &inet4.sin_addr) == 1) {
            inet4.sin_family = AF_INET;
            inet4.sin_port = port;
            std::memcpy(&result.socketAddress, &inet4, sizeof inet4);
            result.length = sizeof inet4;
            return result;
        }
        if (inet_pton(AF_INET6, hostText.c_str(), &inet6.sin6_addr) == 1) {
            inet6.sin6_family = AF_INET6;
            inet6.sin6_port = port;
            std::memcpy(&result.socketAddress, &inet6, sizeof inet6);
            result.length = sizeof inet6;
            return result;
        }
    }
    return std::nullopt;
}

} // namespace virelon::platform::speechd
