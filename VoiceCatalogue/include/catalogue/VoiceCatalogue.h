#pragma once

// The fallback voice catalogue: which installed voices may serve as fallback, how they are named
// and ordered for people, and which one is chosen.

#include "platform/LocaleServices.h"
#include "platform/SpeechVoices.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace virelon::catalogue {

inline constexpr std::string_view preferredFallbackVoiceName = "Kate";
inline constexpr std::string_view fallbackLanguage = "en-GB";

/// A voice of Virelon's own: its identifier begins with the whole application identifier.
bool isVirelonVoice(const platform::Voice& voice);

/// The language name in the current locale (or the language text itself when no name is known),
/// ", " and the voice's name.
std::string displayName(const platform::Voice& voice, platform::LocaleServices& locale);

/// The voices that are not Virelon voices, stably sorted by display name in the locale's
/// standard order. Each display name is built once per call, and each language named once: the
/// locale cannot change during one sort, so the order is the same as when comparing names built
/// afresh for every comparison.
std::vector<platform::Voice> fallbackVoices(std::vector<platform::Voice> installed,
                                            platform::LocaleServices& locale);

/// Whether the identifier names a voice of one of the modules (the part before the first "/").
bool isVoiceOfModules(std::string_view identifier, const std::vector<std::string>& modules);

/// The voice's name in its identifier (the part after the first "/"; all of it without one).
std::string_view voiceNameIn(std::string_view identifier);

/// The first voice that matches, trying in turn: the stored identifier; the name "Kate" ignoring
/// letter case; the current locale's identifier as language; "en-GB" as language; the first
/// voice. Nothing for an empty list.
const platform::Voice* chooseFallbackVoice(const std::vector<platform::Voice>& voices,
                                           const std::optional<std::string>& storedIdentifier,
                                           platform::LocaleServices& locale);

} // namespace virelon::catalogue
