#include "SessionBus.h"

#include "platform/PercentEncoding.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace virelon::platform::sessionbus {

namespace {

std::string& keptAddress() {
    static std::string address;
    return address;
}

// A D-Bus address value: bytes outside the optionally-escaped set as %XX.
std::string escapedAddressValue(std::string_view value) {
    return percentEncoded(value, "-_/.\\*");
}

} // namespace

BusHandle openSessionBus(int* error) noexcept {
    int ignored = 0;
    int& r = error ? *error : ignored;
    sd_bus* bus = nullptr;
    const auto& address = keptAddress();
    if (address.empty()) {
        if ((r = sd_bus_open_user(&bus)) < 0)
            return nullptr;
        return BusHandle(bus);
    }
    if ((r = sd_bus_new(&bus)) < 0)
        return nullptr;
    BusHandle handle(bus);
    if ((r = sd_bus_set_address(bus, address.c_str())) < 0 ||
        (r = sd_bus_set_bus_client(bus, 1)) < 0 || (r = sd_bus_start(bus)) < 0)
        return nullptr;
    return handle;
}

bool meansNoSessionBus(int error) noexcept {
    // sd-bus: -ENOMEDIUM when neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set.
    return error == -ENOMEDIUM || error == -ENOENT || error == -ECONNREFUSED;
}

void keepSessionBusAddress() noexcept {
    try {
        // Where sd_bus_open_user() looks: the variable, else the runtime folder's "bus".
        if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
            keptAddress() = address;
        else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
            keptAddress() = "unix:path=" + escapedAddressValue(runtime) + "/bus";
    } catch (...) { // out of memory: the settings' connections follow the environment
        keptAddress().clear();
    }
}

Settled settle(sd_bus* bus, std::chrono::steady_clock::time_point deadline) noexcept {
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            return Settled::lost;
        if (r == 0) {
            std::uint64_t queued = 0;
            if (sd_bus_get_n_queued_write(bus, &queued) < 0)
                return Settled::lost;
            if (queued == 0 && sd_bus_is_ready(bus) > 0)
                return Settled::done;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return Settled::timedOut;
        if (r > 0)
            continue;
        const auto remaining =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
        const int w = sd_bus_wait(bus, static_cast<std::uint64_t>(remaining));
        if (w < 0 && w != -EINTR)
            return Settled::lost;
    }
}

std::optional<SignalAddress> signalAddress(std::string_view name) {
    // The validators below take C strings: an embedded NUL would hide the rest of the name.
    if (name.find('\0') != std::string_view::npos)
        return std::nullopt;
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return std::nullopt;

    SignalAddress address;
    address.interface = std::string(name.substr(0, dot));
    address.member = std::string(name.substr(dot + 1));
    // sd-bus lets a member start with a digit; the bus daemon does not, and drops the sender.
    if (sd_bus_interface_name_is_valid(address.interface.c_str()) <= 0 ||
        sd_bus_member_name_is_valid(address.member.c_str()) <= 0 ||
        (address.member.front() >= '0' && address.member.front() <= '9'))
        return std::nullopt;

    // A valid interface name's elements are valid path elements as they stand.
    address.path = "/" + address.interface;
    std::replace(address.path.begin(), address.path.end(), '.', '/');
    return address;
}

} // namespace virelon::platform::sessionbus
