#include "widgets/DisplayCheck.h"

namespace virelon::widgets {

std::optional<std::string> missingDisplayMessage(std::string_view command,
                                                 const EnvironmentLookup& environment) {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = environment(name);
        if (value != nullptr && *value != '\0')
            return std::nullopt;
    }
    const std::string program(command);
    return program +
           ": no display to open a window on (neither DISPLAY nor WAYLAND_DISPLAY is "
           "set).\n"
           "Start it from a desktop session, or give it a virtual display:\n"
           "    xvfb-run -a " +
           program +
           "\n"
           "or run it without showing anything on screen:\n"
           "    QT_QPA_PLATFORM=offscreen " +
           program + "\n";
}

} // namespace virelon::widgets
