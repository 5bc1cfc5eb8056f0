#pragma once

// The commands of virelon-settings, each writing its result to `out` and its messages to `err`,
// as JSON with `json`. Each returns the tool's exit status.

#include "SettingsTool.h"
#include "platform/SettingsSignal.h"

#include <csignal>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace virelon::tool {

/// The keys of the settings, in table order: "intonation, headSizePercent, ...".
std::string keyList();

/// Where the settings are stored, or why there is no such place.
std::string domainLocation();

class Commands {
public:
    Commands(std::ostream& out, std::ostream& err, bool json) : out_(out), err_(err), json_(json) {}

    // The settings (SettingsCommands.cpp)
    int get(const std::optional<std::string>& key);
    int set(const std::string& key, const std::string& value);
    int reset(const std::optional<std::string>& key);
    int path();

    // Backup (BackupCommands.cpp)
    int exportTo(const std::optional<std::string>& file);
    int importFrom(const std::string& file);

    // The voices (VoiceCommands.cpp)
    int voices(bool mayStartServer);
    int reloadVoices();

    // Watching (WatchCommand.cpp)
    int watch();

private:
    static volatile std::sig_atomic_t& interrupted();
    void startBlock();
    void showReloadRequest();
    static bool waitForEither(platform::SignalObserver* const (&observers)[2]);
    void showSetting(std::string_view key);
    int unknownKey(std::string_view key);
    int notSaved(std::string_view key);
    int announced();
    int unusable();

    std::ostream& out_;
    std::ostream& err_;
    bool json_;
    int blocks_ = 0;
};

} // namespace virelon::tool
