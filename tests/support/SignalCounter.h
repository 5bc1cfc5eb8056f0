#pragma once

// Counts the settings change signals that reach this process over the test session's bus.

#include "platform/SettingsSignal.h"
#include "virelon/Identifiers.h"

namespace virelon::test {

class SignalCounter {
public:
    /// False when there is no bus to listen on.
    bool listening() const { return observer_ != nullptr; }

    /// Signals that arrived so far, after letting the bus deliver for a moment.
    int now() {
        for (int i = 0; i < 4 && observer_; ++i)
            observer_->wait(50'000);
        return signals_;
    }

private:
    int signals_ = 0; // before the observer, whose callback counts here
    std::unique_ptr<platform::SignalObserver> observer_ =
        platform::observeSessionBusSignal(identifiers::notificationName, [this] { ++signals_; });
};

} // namespace virelon::test
