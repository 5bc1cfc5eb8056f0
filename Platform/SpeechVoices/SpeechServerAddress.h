#pragma once

// Inside the adapter only: where the speech server listens.

#include <optional>
#include <string>

#include <sys/socket.h>

namespace virelon::platform::speechd {

struct ServerAddress {
    sockaddr_storage socketAddress{};
    socklen_t length = 0;
    std::string unixPath; // empty for an inet address, which we never start a server for
};

/// SPEECHD_ADDRESS when set ("unix_socket:PATH", "inet_socket:HOST:PORT"), else the user's
/// runtime folder: the same rules every other client of the user's server follows. Nothing when
/// no address can be formed; an inet host must be numeric (or "localhost"), as a name lookup
/// could block without bound.
std::optional<ServerAddress> serverAddress();

} // namespace virelon::platform::speechd
