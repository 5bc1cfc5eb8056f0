#pragma once

// Qt 6.4's accessibility bridge connects to the session bus on the UI thread while the first
// widgets are made, and libdbus waits without limit for a bus that accepts the connection and
// never answers: the window would never appear. So the host asks the bus first, bounded.

#include <chrono>

namespace virelon::widgets {

/// Connects to the session bus (as sd-bus finds it) and waits at most `bound` in all for it to
/// answer Hello and a method call. When it does not answer in time, points
/// DBUS_SESSION_BUS_ADDRESS at an address that refuses at once, so that Qt and the keychain
/// lookups find no bus instead of waiting; the settings signal keeps the real address and is
/// posted as soon as the bus answers again. No bus at all, or one that answers: nothing changes.
/// Call before any thread is started. Returns false when the bus was set aside.
bool setAsideHungSessionBus(std::chrono::milliseconds bound);

} // namespace virelon::widgets
