#pragma once

// The table of shared settings: every key, default, range, legacy keychain account and slider
// title. The application, the command-line tool and the speech engine all take them from here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace virelon {

inline constexpr std::int64_t settingMinimum = 0;
inline constexpr std::int64_t settingMaximum = 100;

/// Brings any whole number into the setting range: negative first becomes 0, then above 100
/// becomes 100.
constexpr std::int64_t clampSettingValue(std::int64_t value) noexcept {
    if (value < settingMinimum)
        return settingMinimum;
    if (value > settingMaximum)
        return settingMaximum;
    return value;
}

/// One voice control stored as a whole percentage. The screen's sliders, the migration, the tool's
/// get, set and listings and the fuzzers take the controls from the table below. A new control
/// also needs what names it one by one: the translation of its slider title
/// (VirelonIOS/translations/), its getter and snapshot field in VirelonSharedSettings.h and its
/// function and struct field in virelon_settings.h (with debian/libvirelon-settings1.symbols),
/// its field in ContentView, and its key in data/virelon-settings.bash-completion and the manual
/// page.
struct IntegerSetting {
    std::string_view key;           ///< key in the shared settings domain
    std::string_view legacyAccount; ///< account of the item an earlier version kept
    std::int64_t defaultValue;
    std::string_view sliderTitle; ///< title of the screen's slider
};

namespace settings {
inline constexpr IntegerSetting intonation{"intonation", "intonation", 100, "Intonation"};
inline constexpr IntegerSetting headSize{"headSizePercent", "headSize", 50, "Head size"};
inline constexpr IntegerSetting voicing{"voicing", "voicing", 100, "Voicing"};
inline constexpr IntegerSetting wordPause{"wordPause", "wordPause", 0, "Word pause"};
inline constexpr IntegerSetting phrasePause{"phrasePause", "phrasePause", 12, "Phrase pause"};

/// The voice controls in their fixed order (screen creation, migration, listings).
inline constexpr std::array<IntegerSetting, 5> voiceControls{intonation, headSize, voicing,
                                                             wordPause, phrasePause};

/// The identifier of the fallback system voice: a text with no default.
inline constexpr std::string_view fallbackVoiceIdentifierKey = "fallbackVoiceIdentifier";
inline constexpr std::string_view fallbackVoiceIdentifierAccount = "fallbackVoiceIdentifier";

/// Every key: the voice controls in table order, then the fallback voice.
inline constexpr auto allKeys = [] {
    std::array<std::string_view, voiceControls.size() + 1> keys{};
    for (std::size_t i = 0; i < voiceControls.size(); ++i)
        keys[i] = voiceControls[i].key;
    keys.back() = fallbackVoiceIdentifierKey;
    return keys;
}();

/// The voice control stored under the key, or nothing for any other key.
constexpr const IntegerSetting* voiceControl(std::string_view key) noexcept {
    for (const auto& setting : voiceControls) {
        if (setting.key == key)
            return &setting;
    }
    return nullptr;
}
} // namespace settings

} // namespace virelon
