#pragma once

#include "platform/Bounds.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace virelon::platform {

/// What became of a post, worst last.
enum class Posted {
    sent,    ///< The transport took it: written out, and the bus has answered the connection.
    noBus,   ///< There is no transport at all (no session bus named, no socket, nobody listening).
    notSent, ///< A transport exists and did not take it in time, the connection was lost or
             ///< refused, posts are being dropped after a hang, or the name is invalid.
};

/// Posts a system-wide signal that carries nothing but its name. Implementations never throw.
class SignalPoster {
public:
    virtual ~SignalPoster() = default;

    /// Posts the named signal to every observer in any process, bounded in time, and says what
    /// became of it: an invalid name or a missing or unresponsive transport makes this a no-op.
    virtual Posted post(std::string_view name) noexcept = 0;
};

/// The poster on the user's session bus. Created without connecting; connects on first post and
/// keeps the connection (reconnecting after it was lost, but never sending a post again that may
/// already have gone out). A post never blocks for more than signalPostBound; after one ran into
/// it, posts are no-ops (notSent) for signalCoolDown unless the bus has answered since, which
/// each of them checks without waiting. A post that ran into the bound is notSent, though it
/// still goes out should the bus wake up.
std::unique_ptr<SignalPoster> makeSessionBusPoster() noexcept;

/// Posts the named signal once, on a connection of its own, for a caller that must report the
/// outcome (the command-line tool). True when the bus took it; false for an invalid name, no
/// session bus, or a bus that did not take it within signalPostBound, as for a post.
bool postSessionBusSignalOnce(std::string_view name) noexcept;

/// Receives a named signal in any process. Integrates with the caller's event loop: poll fd() for
/// events(), wake no later than timeoutUsec() (absolute CLOCK_MONOTONIC microseconds, UINT64_MAX
/// for none), then call process(), which runs the callback once for each signal that arrived.
/// Implementations never throw; the callback must not either.
class SignalObserver {
public:
    virtual ~SignalObserver() = default;

    virtual int fd() const noexcept = 0;
    virtual short events() const noexcept = 0;
    virtual std::uint64_t timeoutUsec() const noexcept = 0;

    /// Handles what is pending without blocking. False when the connection is lost.
    virtual bool process() noexcept = 0;

    /// Blocks for at most timeoutUsec microseconds (relative) or until something arrives, then
    /// processes it. False when the connection is lost.
    virtual bool wait(std::uint64_t timeoutUsec) noexcept = 0;
};

/// Subscribes to the named signal on the user's session bus. The subscription is in place when
/// this returns. Nothing when the name is invalid, there is no session bus, or the bus does not
/// answer within signalSubscribeBound.
std::unique_ptr<SignalObserver> observeSessionBusSignal(std::string_view name,
                                                        std::function<void()> callback) noexcept;

/// The launch's check of the session bus. Qt 6.4's accessibility bridge connects to the bus on
/// the UI thread while the first widgets are made, and libdbus waits without limit for a bus that
/// accepts the connection and never answers: the window would never appear. So this connects (as
/// sd-bus finds the bus) and waits at most `bound` in all for it to answer Hello and a method
/// call. When it does not answer in time, DBUS_SESSION_BUS_ADDRESS is pointed at an address that
/// refuses at once, so that Qt and the keychain lookups find no bus instead of waiting, while the
/// settings signal keeps the real address (posted as soon as the bus answers again). No bus at
/// all, or one that answers: nothing changes. Call before any thread is started. Returns false
/// when the bus was set aside.
bool setAsideHungSessionBus(std::chrono::milliseconds bound = sessionBusCheckBound) noexcept;

} // namespace virelon::platform
