#pragma once

// The few options the application answers itself, before it looks for a display: everything
// else on the command line is Qt's.

#include <optional>
#include <string>

namespace virelon::widgets {

/// The text to print for --help (or -h) or --version, when one of them comes before any "--";
/// nothing when the arguments ask for the window.
std::optional<std::string> informationRequested(int argc, const char* const* argv);

} // namespace virelon::widgets
