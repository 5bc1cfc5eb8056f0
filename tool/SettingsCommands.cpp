// get, set, reset and path: the settings as the screen and the engine see them.

#include "Commands.h"

#include "platform/PreferencesDomain.h"
#include "tool/Json.h"
#include "virelon/DecimalInteger.h"
#include "virelon/Identifiers.h"
#include "virelon/SettingsKeys.h"
#include "virelon/SettingsPlatform.h"
#include "virelon/StoredValueReading.h"
#include "virelon/VirelonSharedSettings.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace virelon::tool {

namespace {

const IntegerSetting* integerSetting(std::string_view key) {
    return settings::voiceControl(key);
}

bool isKey(std::string_view key) {
    return std::find(settings::allKeys.begin(), settings::allKeys.end(), key) !=
           settings::allKeys.end();
}

// Not empty, well-formed UTF-8, and no C0 or C1 control character nor DEL.
bool isUsableIdentifier(std::string_view text) {
    if (text.empty() || !decodeUtf8(std::vector<std::uint8_t>(text.begin(), text.end())))
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (controlCharacterAt(text, i) != 0)
            return false;
    }
    return true;
}

} // namespace

std::string domainLocation() {
    return platform::preferencesDomainPath(identifiers::suiteName)
        .value_or("(no location: neither XDG_CONFIG_HOME nor HOME is set)");
}

// "intonation, headSizePercent, ..., fallbackVoiceIdentifier"
std::string keyList() {
    std::string list;
    for (const auto key : settings::allKeys)
        list.append(list.empty() ? "" : ", ").append(key);
    return list;
}

int Commands::get(const std::optional<std::string>& key) {
    if (key && !isKey(*key))
        return unknownKey(*key);
    if (!VirelonSharedSettings::isReadable()) {
        err_ << "virelon-settings: cannot read the settings at " << terminalText(domainLocation())
             << ": the file cannot be opened or read, or is not the user's own settings "
                "file.\n";
        return unusable();
    }
    if (!key && json_)
        out_ << '[';
    bool first = true;
    auto show = [&](std::string_view name) {
        if (key && *key != name)
            return;
        if (json_ && !key && !first)
            out_ << ',';
        first = false;
        showSetting(name);
    };
    for (const auto name : settings::allKeys)
        show(name);
    if (!key && json_)
        out_ << ']';
    if (json_)
        out_ << '\n';
    out_.flush();
    return ok;
}

int Commands::set(const std::string& key, const std::string& value) {
    if (!isKey(key))
        return unknownKey(key);
    if (const auto* setting = integerSetting(key)) {
        // Refused outside the range, as a typing error: the screen's sliders cannot go there.
        // A decimal number parseDecimalInteger refuses is one too large for 64 bits.
        const auto given = parseDecimalInteger(value);
        const auto digits =
            std::string_view(value).substr(value.starts_with('+') || value.starts_with('-'));
        const bool decimal =
            !digits.empty() &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!given || clampSettingValue(*given) != *given) {
            err_ << "virelon-settings: \"" << terminalText(value)
                 << (decimal ? "\" is out of range; " : "\" is not a whole number; ") << key
                 << " takes a whole number from " << settingMinimum << " to " << settingMaximum
                 << ".\n";
            return badUsage;
        }
        if (!VirelonSharedSettings::saveSetting(*given, setting->key))
            return notSaved(key);
        if (json_)
            out_ << "{\"key\":" << jsonString(key) << ",\"value\":" << *given << "}\n";
        else
            out_ << key << ": " << *given << '\n';
        return announced();
    }
    if (!isUsableIdentifier(value)) {
        err_ << "virelon-settings: a fallback voice identifier must be UTF-8 text, not empty, "
                "without control characters; virelon-settings voices lists them.\n";
        return badUsage;
    }
    if (!VirelonSharedSettings::setFallbackVoiceIdentifier(value))
        return notSaved(key);
    if (json_)
        out_ << "{\"key\":" << jsonString(key) << ",\"value\":" << jsonString(value) << "}\n";
    else
        out_ << key << ": " << terminalText(value) << '\n';
    return announced();
}

int Commands::reset(const std::optional<std::string>& key) {
    if (key && !isKey(*key))
        return unknownKey(*key);
    // Removed one by one, each with its own signal; the first failure ends the run.
    std::vector<std::pair<std::string_view, bool>> done; // key, whether a value was removed
    std::optional<std::string_view> failedKey;
    for (const auto name : settings::allKeys) {
        if (key && *key != name)
            continue;
        const auto removal = VirelonSharedSettings::removeSetting(name);
        if (removal == VirelonSharedSettings::Removal::failed) {
            failedKey = name;
            break;
        }
        done.emplace_back(name, removal == VirelonSharedSettings::Removal::removed);
    }
    if (!key && json_)
        out_ << '[';
    for (std::size_t i = 0; i < done.size(); ++i) {
        const auto [name, removed] = done[i];
        const auto* setting = integerSetting(name);
        const auto value = setting ? std::to_string(setting->defaultValue) : std::string();
        if (json_)
            out_ << (i ? "," : "") << "{\"key\":" << jsonString(name)
                 << ",\"removed\":" << (removed ? "true" : "false")
                 << ",\"value\":" << (setting ? value : "null") << '}';
        else
            out_ << name << ": " << (removed ? "removed" : "nothing stored")
                 << ", reads as its default " << (setting ? value : "none") << '\n';
    }
    if (!key && json_)
        out_ << ']';
    if (json_ && (!key || !done.empty()))
        out_ << '\n';
    if (!failedKey)
        return announced();
    err_ << "virelon-settings: " << *failedKey << " could not be reset: the settings at "
         << terminalText(domainLocation()) << " cannot be opened or written.\n";
    return unusable();
}

int Commands::path() {
    const auto location = platform::preferencesDomainPath(identifiers::suiteName);
    if (!location) {
        err_ << "virelon-settings: no location for the settings: neither XDG_CONFIG_HOME nor "
                "HOME is set.\n";
        return failed;
    }
    if (json_)
        out_ << "{\"path\":" << jsonString(*location) << "}\n";
    else
        out_ << *location << '\n';
    return ok;
}

void Commands::showSetting(std::string_view key) {
    const bool stored = VirelonSharedSettings::isStored(key);
    if (const auto* setting = integerSetting(key)) {
        const auto value = VirelonSharedSettings::value(*setting);
        if (json_)
            out_ << "{\"key\":" << jsonString(key) << ",\"value\":" << value
                 << ",\"stored\":" << (stored ? "true" : "false") << '}';
        else
            out_ << key << ": " << value << (stored ? " (stored)" : " (default)") << '\n';
        return;
    }
    const auto identifier = VirelonSharedSettings::fallbackVoiceIdentifier();
    if (json_) {
        out_ << "{\"key\":" << jsonString(key)
             << ",\"value\":" << (identifier ? jsonString(*identifier) : "null")
             << ",\"stored\":" << (stored ? "true" : "false") << '}';
    } else if (identifier) {
        out_ << key << ": " << terminalText(*identifier) << " (stored)\n";
    } else {
        out_ << key << ": " << (stored ? "none (the stored value is not a text)" : "none stored")
             << '\n';
    }
}

int Commands::unknownKey(std::string_view key) {
    err_ << "virelon-settings: unknown setting \"" << terminalText(key)
         << "\". The settings are: " << keyList() << ".\n";
    return badUsage;
}

// After a command stored changes through the settings (each write posts its change signal): ok when
// every signal went out, and when there is no session bus at all (nobody could be listening, and
// scripts run without a desktop session store as before); notAnnounced when a bus is there and
// did not take one. Any command that stores and signals ends with this.
int Commands::announced() {
    switch (detail::takePostOutcome()) {
    case platform::Posted::sent:
        return ok;
    case platform::Posted::noBus:
        err_ << "virelon-settings: stored; no running speech engine could be told: there is no "
                "session bus.\n";
        return ok;
    case platform::Posted::notSent:
        break;
    }
    err_ << "virelon-settings: stored, but no running speech engine was told: the session bus did "
            "not take the change signal within "
         << platform::signalPostBound.count() << " ms.\n";
    return notAnnounced;
}

int Commands::notSaved(std::string_view key) {
    err_ << "virelon-settings: " << key << " could not be saved: the settings at "
         << terminalText(domainLocation()) << " cannot be opened or written.\n";
    return unusable();
}

// Says why the settings cannot be used when their user can do something about it, and gives the
// status of a command that could not be done.
int Commands::unusable() {
    if (platform::preferencesDomainHasForeignWal(identifiers::suiteName)) {
        const auto file = terminalText(domainLocation());
        err_ << "virelon-settings: " << file << " was put in place while changes to the file it "
             << "replaced were still waiting in " << file << "-wal, so it is not used: applying "
             << "them would undo or corrupt it. To use the file as it is, delete " << file
             << "-wal and " << file << "-shm (those changes are then lost). Backups restored "
             << "with 'virelon-settings import' never meet this.\n";
    }
    return failed;
}

} // namespace virelon::tool
