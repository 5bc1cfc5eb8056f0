// A process writing through the shared settings is killed with SIGKILL at random instants during
// a storm of writes, round after round on the same file. A write that reported saved must be
// there afterwards; the one write in flight at the kill may or may not have landed, and nothing
// else may; the file must pass SQLite's integrity check.

#include "ScratchHome.h"
#include "SettingsFaultSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <random>
#include <sstream>
#include <thread>

using virelon::VirelonSharedSettings;
namespace test = virelon::test;
namespace settings = virelon::settings;

namespace {

// What a key reads after write n, or with no write at all (n < 0).
std::string valueAfterWrite(std::size_t key, std::int64_t n) {
    if (key < settings::voiceControls.size())
        return std::to_string(n < 0 ? settings::voiceControls[key].defaultValue
                                    : test::controlValueOfWrite(n));
    return n < 0 ? "(none)" : test::fallbackOfWrite(n);
}

std::array<std::string, test::sequenceKeys> valuesNow() {
    std::istringstream words(test::describe(test::stateOf(VirelonSharedSettings::voiceSettings())));
    std::array<std::string, test::sequenceKeys> values;
    for (auto& value : values)
        words >> value;
    return values;
}

TEST(SettingsCrash, WritesReportedSavedSurviveTheWriterBeingKilledAtAnyInstant) {
    test::ScratchHome scratch;
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("random seed " + std::to_string(seed));
    std::mt19937 random(seed);
    constexpr int rounds = 50;

    // The newest write of each key known to have landed (-1: none yet).
    std::array<std::int64_t, test::sequenceKeys> landed;
    landed.fill(-1);
    int roundsWithWrites = 0, inFlightLanded = 0;

    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::int64_t first = std::int64_t{round} * 1'000'000;
        test::Subprocess writer(test::faultHelper, {"write", std::to_string(first)});
        // Even rounds kill at any moment from the start (loading, opening or creating the file,
        // the first writes); odd ones in the middle of the storm.
        int latestKillUs = 150'000;
        if (round % 2 == 1) {
            ASSERT_TRUE(writer.waitFor("\n")) << "the writer never wrote";
            latestKillUs = 20'000;
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, latestKillUs)(random)));
        writer.signal(SIGKILL);
        const auto killed = writer.finish();
        ASSERT_EQ(killed.err.find("failed"), std::string::npos) << killed.err;
        ASSERT_EQ(killed.out.find("failed"), std::string::npos) << killed.out;

        // Every complete line is a write that reported saved; the next one may be in flight.
        std::istringstream lines(killed.out.substr(0, killed.out.rfind('\n') + 1));
        std::int64_t n = first - 1;
        for (std::string line; std::getline(lines, line);) {
            ASSERT_EQ(std::stoll(line), n + 1) << "writes reported out of order";
            n = std::stoll(line);
            landed[test::keyOfWrite(n)] = n;
        }
        roundsWithWrites += n >= first;
        const std::int64_t inFlight = n + 1;
        const std::size_t inFlightKey = test::keyOfWrite(inFlight);

        if (!std::filesystem::exists(test::settingsFile())) {
            ASSERT_LT(n, first) << "writes reported saved, but there is no file";
            continue;
        }
        EXPECT_EQ(test::integrityCheck(test::settingsFile()), "ok");
        const auto values = valuesNow();
        for (std::size_t key = 0; key < test::sequenceKeys; ++key) {
            const std::string saved = valueAfterWrite(key, landed[key]);
            if (key == inFlightKey && values[key] == valueAfterWrite(key, inFlight) &&
                values[key] != saved) {
                landed[key] = inFlight; // it landed, and is now as durable as any other
                ++inFlightLanded;
                continue;
            }
            EXPECT_EQ(values[key], saved)
                << "key " << key << "; write " << inFlight << " was in flight";
        }
    }
    EXPECT_GE(roundsWithWrites, rounds / 2) << "too few kills hit the storm";
    RecordProperty("roundsWithWrites", roundsWithWrites);
    RecordProperty("inFlightWritesThatLanded", inFlightLanded);

    // A process starting now (the engine) finds the same.
    EXPECT_EQ(test::readInAnotherProcess(),
              test::describe(test::stateOf(VirelonSharedSettings::voiceSettings())));
}

} // namespace
