#pragma once

// A numbered sequence of writes through the shared settings, known to both a test and the helper
// processes it starts, so that either side can tell which values were ever written and in which
// state the settings were after each write.
//
// Write n goes to key n % 6: the five voice controls in table order, then the fallback voice.
// A control gets an odd value from 1 to 99 (never a default: those are 100, 50, 0 and 12) that
// differs from the one before it on the same key; the fallback voice gets "voice/<n>".

#include "virelon/SettingsKeys.h"
#include "virelon/VirelonSharedSettings.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>

namespace virelon::test {

inline constexpr std::size_t sequenceKeys = settings::voiceControls.size() + 1;

inline std::size_t keyOfWrite(std::int64_t n) {
    return static_cast<std::size_t>(n % static_cast<std::int64_t>(sequenceKeys));
}

inline std::int64_t controlValueOfWrite(std::int64_t n) {
    return 1 + 2 * ((n / static_cast<std::int64_t>(sequenceKeys)) % 50);
}

inline std::string fallbackOfWrite(std::int64_t n) {
    return "voice/" + std::to_string(n);
}

/// Performs write n; true when the settings reported it saved.
inline bool performWrite(std::int64_t n) {
    const std::size_t key = keyOfWrite(n);
    if (key < settings::voiceControls.size())
        return VirelonSharedSettings::saveSetting(controlValueOfWrite(n),
                                                  settings::voiceControls[key].key);
    return VirelonSharedSettings::setFallbackVoiceIdentifier(fallbackOfWrite(n));
}

/// All six settings as one comparable value.
using SettingsState = std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                                 std::int64_t, std::optional<std::string>>;

inline SettingsState stateOf(const VoiceSettings& s) {
    return {s.intonation, s.headSize,    s.voicing,
            s.wordPause,  s.phrasePause, s.fallbackVoiceIdentifier};
}

inline std::string describe(const SettingsState& s) {
    return std::to_string(std::get<0>(s)) + " " + std::to_string(std::get<1>(s)) + " " +
           std::to_string(std::get<2>(s)) + " " + std::to_string(std::get<3>(s)) + " " +
           std::to_string(std::get<4>(s)) + " " + std::get<5>(s).value_or("(none)");
}

/// Every state the settings pass through while writes first..last run in order, each mapped to
/// the number of the write that produced it. Starts from the state after write first - 1, so
/// first must be at least 6 for every key to have been written before.
inline std::map<SettingsState, std::int64_t> statesOfWrites(std::int64_t first, std::int64_t last) {
    std::array<std::int64_t, settings::voiceControls.size()> controls{};
    std::string fallback;
    const auto apply = [&](std::int64_t n) {
        const std::size_t key = keyOfWrite(n);
        if (key < controls.size())
            controls[key] = controlValueOfWrite(n);
        else
            fallback = fallbackOfWrite(n);
    };
    for (std::int64_t n = first - static_cast<std::int64_t>(sequenceKeys); n < first; ++n)
        apply(n);
    std::map<SettingsState, std::int64_t> states;
    for (std::int64_t n = first - 1; n <= last; ++n) {
        if (n >= first)
            apply(n);
        states.emplace(SettingsState{controls[0], controls[1], controls[2], controls[3],
                                     controls[4], fallback},
                       n);
    }
    return states;
}

} // namespace virelon::test
