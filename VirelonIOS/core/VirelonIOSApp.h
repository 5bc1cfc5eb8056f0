#pragma once

#include "core/ContentView.h"
#include "runtime/Runtime.h"

#include <functional>
#include <memory>

namespace virelon {

/// A group of windows; its content makes the screen of one window.
struct WindowGroup {
    std::function<std::unique_ptr<ContentView>(ui::Runtime&, const ScreenServices&)> content;
};

/// The application. Creating it moves the settings an earlier version kept in the keychain into
/// the shared settings, before any window exists; its body is one window group whose content is a
/// fresh settings screen per window.
class VirelonIOSApp {
public:
    VirelonIOSApp();
    WindowGroup body() const;
};

} // namespace virelon
