#pragma once

// Texts the screen shows verbatim, never looked up for translation.

#include <string_view>

namespace virelon::texts {

inline constexpr std::string_view ready = "Virelon is ready.";
inline constexpr std::string_view voiceSettingNotSaved =
    "The Virelon voice setting could not be saved.";
inline constexpr std::string_view fallbackVoiceNotSaved = "The fallback voice could not be saved.";
inline constexpr std::string_view voicesRefreshed = "Virelon and fallback voices were refreshed.";
inline constexpr std::string_view voicesNotListed = "The installed voices could not be listed.";
/// Follows voicesNotListed, after a space, when a fallback voice is stored.
inline constexpr std::string_view fallbackVoiceKept = "The fallback voice was kept.";

} // namespace virelon::texts
