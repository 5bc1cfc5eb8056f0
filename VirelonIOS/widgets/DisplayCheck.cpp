#include "widgets/DisplayCheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace virelon::widgets {

namespace {

bool isSet(const char* value) {
    return value != nullptr && *value != '\0';
}

// "wayland;xcb:option" -> wayland, xcb
std::vector<std::string> platformNames(std::string_view list) {
    std::vector<std::string> names;
    while (!list.empty()) {
        const auto entry = list.substr(0, list.find(';'));
        list.remove_prefix(std::min(list.size(), entry.size() + 1));
        std::string name(entry.substr(0, entry.find(':')));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (!name.empty())
            names.push_back(std::move(name));
    }
    return names;
}

std::string fatalMessage;
QtMessageHandler previousHandler = nullptr;

void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fputs(fatalMessage.c_str(), stderr);
        std::_Exit(1);
    }
    if (previousHandler)
        previousHandler(type, context, text);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

} // namespace

FatalQtMessageGuard::FatalQtMessageGuard(std::string message) {
    fatalMessage = std::move(message);
    previousHandler = qInstallMessageHandler(onQtMessage);
}

FatalQtMessageGuard::~FatalQtMessageGuard() {
    qInstallMessageHandler(previousHandler);
}

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

std::optional<std::string> missingPlatformMessage(std::string_view command,
                                                  const std::vector<std::string_view>& arguments,
                                                  const EnvironmentLookup& environment,
                                                  const PlatformPluginLookup& installed) {
    // Qt takes "-platform" and "--platform" alike.
    auto argument = [&](std::string_view option) -> std::optional<std::string_view> {
        for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
            if (arguments[i] == option || arguments[i] == "-" + std::string(option))
                return arguments[i + 1];
        }
        return std::nullopt;
    };
    std::vector<std::string> tried;
    if (const auto chosen = argument("-platform")) {
        tried = platformNames(*chosen);
    } else if (isSet(environment("QT_QPA_PLATFORM"))) {
        tried = platformNames(environment("QT_QPA_PLATFORM"));
    } else {
        const char* session = environment("XDG_SESSION_TYPE");
        if (isSet(environment("WAYLAND_DISPLAY")) ||
            (session != nullptr && std::string_view(session) == "wayland"))
            tried.emplace_back("wayland");
        if (isSet(environment("DISPLAY")) || argument("-display"))
            tried.emplace_back("xcb");
    }
    if (tried.empty() || std::any_of(tried.begin(), tried.end(), installed))
        return std::nullopt;
    // Debian's Qt 6 keeps the Wayland plugins in qt6-wayland, the others in qt6-qpa-plugins.
    constexpr std::string_view qpaPlugins[] = {"xcb",   "offscreen", "minimal", "minimalegl",
                                               "eglfs", "linuxfb",   "vnc",     "vkkhrdisplay"};
    std::string names, packages;
    for (const auto& name : tried) {
        names += (names.empty() ? "\"" : " or \"") + name + '"';
        const std::string package =
            name.starts_with("wayland") ? "qt6-wayland"
            : std::find(std::begin(qpaPlugins), std::end(qpaPlugins), name) != std::end(qpaPlugins)
                ? "qt6-qpa-plugins"
                : "";
        if (packages.find(package) == std::string::npos)
            packages += (packages.empty() ? "" : " ") + package;
    }
    return std::string(command) + ": cannot open a window: Qt's platform plugin " + names +
           " is not installed.\n" +
           (packages.empty()
                ? "Choose an installed one"
                : "Install it (Debian: sudo apt install " + packages + "), or choose another") +
           " with QT_QPA_PLATFORM (xcb needs DISPLAY set).\n";
}

InstalledPlatformPlugins::InstalledPlatformPlugins() {
    QStringList folders;
    for (const auto& path : QCoreApplication::libraryPaths())
        folders << path + QStringLiteral("/platforms");
    if (const auto extra = qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH"); !extra.isEmpty())
        folders << extra;
    for (const auto& folder : folders) {
        const QDir directory(folder);
        for (const auto& file : directory.entryList(QDir::Files)) {
            auto& plugin =
                plugins_.emplace_back(std::make_unique<QPluginLoader>(directory.filePath(file)));
            const auto metaData = plugin->metaData().value(QStringLiteral("MetaData")).toObject();
            for (const auto key : metaData.value(QStringLiteral("Keys")).toArray())
                keys_.push_back(key.toString().toLower().toStdString());
        }
    }
}

InstalledPlatformPlugins::~InstalledPlatformPlugins() = default;

bool InstalledPlatformPlugins::contains(std::string_view key) const {
    return std::find(keys_.begin(), keys_.end(), key) != keys_.end();
}

} // namespace virelon::widgets
