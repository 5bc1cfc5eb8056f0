#pragma once

// Qt aborts with an obscure message when it finds no display; the host says so plainly instead.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace virelon::widgets {

/// Reads one environment variable; nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

/// What to print when there is nowhere to open a window: none of DISPLAY, WAYLAND_DISPLAY and
/// QT_QPA_PLATFORM is set (an empty value counts as not set). Says how to get a display, naming
/// `command`. Nothing when any of them is set.
std::optional<std::string> missingDisplayMessage(std::string_view command,
                                                 const EnvironmentLookup& environment);

} // namespace virelon::widgets
