#pragma once

// The table of shared settings: every key, default, range and legacy keychain account. The
// application, the command-line tool and the speech engine all take them from here.

#include <array>
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

/// One voice control stored as a whole percentage.
struct IntegerSetting {
    std::string_view key;           ///< key in the shared settings domain
    std::string_view legacyAccount; ///< account of the item an earlier version kept
    std::int64_t defaultValue;
};

namespace settings {
inline constexpr IntegerSetting intonation{"intonation", "intonation", 100};
inline constexpr IntegerSetting headSize{"headSizePercent", "headSize", 50};
inline constexpr IntegerSetting voicing{"voicing", "voicing", 100};
inline constexpr IntegerSetting wordPause{"wordPause", "wordPause", 0};
inline constexpr IntegerSetting phrasePause{"phrasePause", "phrasePause", 12};

/// The voice controls in their fixed order (screen creation, migration, listings).
inline constexpr std::array<IntegerSetting, 5> voiceControls{intonation, headSize, voicing,
                                                             wordPause, phrasePause};

/// The identifier of the fallback system voice: a text with no default.
inline constexpr std::string_view fallbackVoiceIdentifierKey = "fallbackVoiceIdentifier";
inline constexpr std::string_view fallbackVoiceIdentifierAccount = "fallbackVoiceIdentifier";
} // namespace settings

} // namespace virelon
