#pragma once

// What the fault tests of the shared settings share: a numbered sequence of writes that the test
// and the processes it starts both know, and those processes: the test program itself, started
// again in a role (playRole), as the application or the engine in a process of its own.
//
// Write n goes to key n % 6: the five voice controls in table order, then the fallback voice.
// A control gets an odd value from 1 to 99 (never a default: those are 100, 50, 0 and 12) that
// differs from the one before it on the same key; the fallback voice gets "voice/<n>".

#include "RawDatabase.h"
#include "Subprocess.h"
#include "virelon/Identifiers.h"
#include "virelon/SettingsKeys.h"
#include "virelon/VirelonSharedSettings.h"

#include <array>
#include <sstream>

namespace virelon::test {

inline constexpr std::int64_t sequenceKeys = settings::voiceControls.size() + 1;
using State = std::array<std::string, sequenceKeys>; // each setting as text, "(none)" for no voice

inline std::string valueOfWrite(std::int64_t n) {
    return n % sequenceKeys < 5 ? std::to_string(1 + 2 * (n / sequenceKeys % 50))
                                : "voice/" + std::to_string(n);
}

/// Performs write n; true when the settings reported it saved.
inline bool performWrite(std::int64_t n) {
    const auto key = static_cast<std::size_t>(n % sequenceKeys);
    return key < 5 ? VirelonSharedSettings::saveSetting(std::stoll(valueOfWrite(n)),
                                                        settings::voiceControls[key].key)
                   : VirelonSharedSettings::setFallbackVoiceIdentifier(valueOfWrite(n));
}

inline State stateNow() {
    const auto s = VirelonSharedSettings::voiceSettings();
    return {std::to_string(s.intonation),  std::to_string(s.headSize),
            std::to_string(s.voicing),     std::to_string(s.wordPause),
            std::to_string(s.phrasePause), s.fallbackVoiceIdentifier.value_or("(none)")};
}

/// The state after writes 0..last (the defaults when last < 0).
inline State stateAfter(std::int64_t last) {
    State state;
    for (std::size_t key = 0; key < 5; ++key)
        state[key] = std::to_string(settings::voiceControls[key].defaultValue);
    state[5] = "(none)";
    for (auto n = std::max<std::int64_t>(0, last - sequenceKeys + 1); n <= last; ++n)
        state[static_cast<std::size_t>(n % sequenceKeys)] = valueOfWrite(n);
    return state;
}

inline std::filesystem::path settingsFile() {
    return std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) /
           std::string(identifiers::suiteName) / "preferences.db";
}

inline std::string self = std::filesystem::read_symlink("/proc/self/exe");

inline std::string joined(const State& state) {
    std::string line;
    for (const auto& value : state)
        line += value + (&value == &state.back() ? "\n" : " ");
    return line;
}

/// "write FIRST LAST" performs those writes, printing each number on a line of its own once it
/// was reported saved (with one write(2): a reader gets the whole line or nothing of it), and
/// "failed" when one was not; "read" prints the six settings, one a line; "engine" reads them
/// every 20 ms as an engine does, printing them on one line (joined()) whenever they change,
/// until killed; "hold SQL" runs SQL on the settings file, prints "held" and keeps the connection
/// (and its locks) until killed.
inline int playRole(char** role) {
    const auto say = [](const std::string& text) {
        return ::write(STDOUT_FILENO, text.data(), text.size()) == std::ssize(text);
    };
    for (State last; role[0] == std::string("engine"); ::usleep(20'000)) {
        if (const auto now = stateNow(); now != last)
            say(joined(last = now));
    }
    if (sqlite3* db = nullptr; role[0] == std::string("hold")) {
        sqlite3_open(settingsFile().c_str(), &db);
        say(sqlite3_exec(db, role[1], nullptr, nullptr, nullptr) == SQLITE_OK ? "held\n" : "no\n");
        ::pause();
    }
    if (role[0] == std::string("read")) {
        for (const auto& value : stateNow())
            say(value + "\n");
        return 0;
    }
    for (auto n = std::atoll(role[1]), last = std::atoll(role[2]); n <= last; ++n) {
        if (!performWrite(n) || !say(std::to_string(n) + "\n"))
            return say("failed\n"), 1;
    }
    return 0;
}

/// The six settings as a process started now reads them (the engine starting up).
inline State readInAnotherProcess(const Environment& environment = {}) {
    const auto result = runProgram(self, {"--role", "read"}, environment);
    EXPECT_EQ(result.status, 0) << result.err;
    State state;
    std::istringstream lines(result.out);
    for (auto& value : state)
        std::getline(lines, value);
    return state;
}

inline void writeInAnotherProcess(std::int64_t first, std::int64_t last,
                                  const Environment& environment = {}) {
    const auto result = runProgram(
        self, {"--role", "write", std::to_string(first), std::to_string(last)}, environment);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
}

} // namespace virelon::test
