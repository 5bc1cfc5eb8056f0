#pragma once

// Owning handles for sd-bus objects, for the adapters that speak D-Bus.

#include <memory>

#include <systemd/sd-bus.h>

namespace virelon::platform {

struct BusCloser {
    // Closes without flushing: a flush against a hung bus would block for sd-bus's 90 s.
    void operator()(sd_bus* bus) const noexcept { sd_bus_close_unref(bus); }
};
using BusHandle = std::unique_ptr<sd_bus, BusCloser>;

struct MessageRelease {
    void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using MessageHandle = std::unique_ptr<sd_bus_message, MessageRelease>;

struct SlotRelease {
    void operator()(sd_bus_slot* slot) const noexcept { sd_bus_slot_unref(slot); }
};
using SlotHandle = std::unique_ptr<sd_bus_slot, SlotRelease>;

} // namespace virelon::platform
