#include "widgets/CommandLine.h"

#include "virelon/Identifiers.h"

#include <string_view>

namespace virelon::widgets {

namespace {
constexpr std::string_view usage = R"(Usage: virelon-voices [QT-OPTIONS]

Opens the settings screen of the Virelon speech voices. When it is open already, brings that
window to the front instead.

Options:
  -h, --help      Show this help.
  --version       Show the version.
Other options are those of every Qt application, such as -platform NAME.

Control+Q or Control+W closes the window. virelon-settings changes the same settings from a
terminal. See man virelon-voices.
)";
} // namespace

std::optional<std::string> informationRequested(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--")
            break;
        if (argument == "--help" || argument == "-h")
            return std::string(usage);
        if (argument == "--version")
            return "virelon-voices " + std::string(identifiers::version) + " (" +
                   std::string(identifiers::buildNumber) + ")\n";
    }
    return std::nullopt;
}

} // namespace virelon::widgets
