#pragma once

// Inside the adapter only: starting the speech server when nothing listens on its socket.

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace virelon::platform::speechd {

/// Starts `speech-dispatcher --spawn` from PATH the way libspeechd's autospawn does, but without
/// waiting for the starter to finish: it is reaped later, whenever it has ended (at the latest
/// when this object goes). The environment (PATH included) is the one this object was made in:
/// a start, on whatever thread, reads nothing from the process's environment, which another
/// thread may be changing meanwhile. Throws only std::bad_alloc.
class ServerStarter {
public:
    ServerStarter();
    ~ServerStarter() { finished(); }
    ServerStarter(const ServerStarter&) = delete;
    ServerStarter& operator=(const ServerStarter&) = delete;

    /// False when the starter could not be started. Throws only std::bad_alloc.
    bool start(const std::string& socketPath);

    /// Whether a starter was started and has not been reaped yet.
    bool running() const noexcept { return spawner_ >= 0; }

    /// The starter's exit status once it has ended; nothing while it runs or when there is none.
    std::optional<int> finished() noexcept;

private:
    std::vector<std::string> environment_; // "NAME=value", as when this object was made
    std::string searchPath_;               // PATH then, or the default search path
    pid_t spawner_ = -1;
};

} // namespace virelon::platform::speechd
