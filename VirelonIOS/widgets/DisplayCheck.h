#pragma once

// Qt aborts with an obscure message when it finds no display, or no platform plugin for it; the
// host says so plainly instead, and what to install.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QPluginLoader;

namespace virelon::widgets {

/// Reads one environment variable; nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

/// What to print when there is nowhere to open a window: none of DISPLAY, WAYLAND_DISPLAY and
/// QT_QPA_PLATFORM is set (an empty value counts as not set). Says how to get a display, naming
/// `command`. Nothing when any of them is set.
std::optional<std::string> missingDisplayMessage(std::string_view command,
                                                 const EnvironmentLookup& environment);

/// Tells whether a platform plugin with this key (lower case) is installed.
using PlatformPluginLookup = std::function<bool(std::string_view)>;

/// What to print when no platform plugin Qt would try for this launch is installed. Those are, as
/// Qt 6.4 chooses: the one named by `-platform NAME` among `arguments`, else those QT_QPA_PLATFORM
/// names (";" between them, each maybe followed by ":options"), else Wayland's when
/// WAYLAND_DISPLAY is set or XDG_SESSION_TYPE is "wayland", and X11's (xcb) when DISPLAY is set
/// or `-display` given: the ones that can open a window here. Says which Debian package holds the
/// missing plugin. Nothing when one of them is installed, or none is tried.
std::optional<std::string> missingPlatformMessage(std::string_view command,
                                                  const std::vector<std::string_view>& arguments,
                                                  const EnvironmentLookup& environment,
                                                  const PlatformPluginLookup& installed);

/// While it lives, a fatal error of Qt (when no platform plugin it tried could open the display,
/// Qt aborts with status 134 and suggests reinstalling) prints `message` on standard error and
/// ends the process with status 1. Other messages go on as before. One at a time.
class FatalQtMessageGuard {
public:
    explicit FatalQtMessageGuard(std::string message);
    ~FatalQtMessageGuard();
    FatalQtMessageGuard(const FatalQtMessageGuard&) = delete;
    FatalQtMessageGuard& operator=(const FatalQtMessageGuard&) = delete;
};

/// The platform plugins installed where Qt looks for them: its plugin folders' `platforms` and
/// QT_QPA_PLATFORM_PLUGIN_PATH, each plugin's metadata read without loading it. Kept until
/// QApplication is built, Qt's own search finds them read: the check then costs about 0.15 ms
/// instead of 0.6 ms.
class InstalledPlatformPlugins {
public:
    InstalledPlatformPlugins();
    ~InstalledPlatformPlugins();
    InstalledPlatformPlugins(const InstalledPlatformPlugins&) = delete;
    InstalledPlatformPlugins& operator=(const InstalledPlatformPlugins&) = delete;

    /// Whether a plugin with this key (lower case) is installed.
    bool contains(std::string_view key) const;

private:
    std::vector<std::unique_ptr<QPluginLoader>> plugins_;
    std::vector<std::string> keys_;
};

} // namespace virelon::widgets
