// The shared settings over in-memory fakes, all cases in one process: a settings object of its
// own per case, and the facade (named getters, migration) over fresh process settings per case.
// The decimal, UTF-8 and stored-value rules are the fuzzers' (fuzz/ReadingRulesFuzzer.cpp,
// fuzz/StoredValueFuzzer.cpp).

#include "support/FakeSettingsPlatform.h"
#include "virelon/LegacyMigration.h"

#include <gtest/gtest.h>

using namespace virelon;
using I = std::int64_t;
using S = VirelonSharedSettings;

struct Settings : ::testing::Test {
    std::shared_ptr<test::FakeWorld> world = test::installFakeSettingsPlatform();
    detail::SettingsCore core{test::fakeSettingsPlatform(world)};
    test::FakePlatform keychain{world};
};

// Written out here, not taken from the table they check.
// clang-format off
const std::tuple<const char*, I (*)() noexcept, I, I VoiceSettings::*> controls[] = {
    {"intonation", S::intonation, 100, &VoiceSettings::intonation},
    {"headSizePercent", S::headSize, 50, &VoiceSettings::headSize},
    {"voicing", S::voicing, 100, &VoiceSettings::voicing},
    {"wordPause", S::wordPause, 0, &VoiceSettings::wordPause},
    {"phrasePause", S::phrasePause, 12, &VoiceSettings::phrasePause}};
// clang-format on

TEST_F(Settings, ReadsGiveTheDefaultOrTheStoredValueClampedAndNeverWrite) {
    const std::pair<platform::StoredValue, I> storedAndRead[] = {
        {I{0}, 0}, {I{250}, 100}, {I{-3}, 0}, {42.9, 42}};
    world->stored = {{"fallbackVoiceIdentifier", I{5}}}; // not a text: no voice
    for (const auto& [key, get, byDefault, field] : controls) {
        EXPECT_EQ(get(), byDefault) << key;
        for (const auto& [stored, read] : storedAndRead) {
            world->stored.insert_or_assign(key, stored);
            EXPECT_EQ(get(), read) << key;
            EXPECT_EQ(core.voiceSettings().*field, read) << key;
        }
    }
    EXPECT_TRUE(world->events.empty() && !core.fallbackVoiceIdentifier());
}

TEST_F(Settings, WritesClampStoreFlushThenPostOnceFailuresPostNothingAndNoDomainIsTriedOnce) {
    const std::string post = "post " + std::string(identifiers::notificationName);
    world->stored = {{"wordPause", I{9}}};
    EXPECT_TRUE(core.saveSetting(130, "voicing") && core.saveSetting(-1, "phrasePause") &&
                core.setFallbackVoiceIdentifier(""));
    EXPECT_EQ(core.removeSetting("wordPause"), S::Removal::removed);
    EXPECT_EQ(core.removeSetting("wordPause"), S::Removal::nothingStored);
    // clang-format off
    EXPECT_EQ(world->stored, (decltype(world->stored){{"voicing", I{100}}, {"phrasePause", I{0}},
                                                      {"fallbackVoiceIdentifier", ""}}));
    EXPECT_EQ(world->events, std::vector<std::string>({"set voicing", "confirm", post,
        "set phrasePause", "confirm", post, "set fallbackVoiceIdentifier", "confirm", post,
        "remove wordPause", "confirm", post, "remove wordPause"}));
    // clang-format on
    for (const bool confirmFails : {false, true}) {
        world->failStores = !(world->failConfirm = confirmFails);
        EXPECT_FALSE(core.saveSetting(40, "voicing") || core.setFallbackVoiceIdentifier("a/b") ||
                     core.removeSetting("voicing") != S::Removal::failed);
    }
    // The process's settings find no domain: defaults, failed writes, no keychain lookups.
    world->domainOpens = false;
    world->legacyItems = {{"voicing", test::bytes("3")}};
    for (int round = 0; round < 2; ++round, migrateLegacySettings(keychain))
        EXPECT_FALSE(S::saveSetting(10, "voicing") || S::voicing() != 100);
    EXPECT_EQ(world->opened, std::vector<std::string>(
                                 2, "group." + std::string(identifiers::applicationIdentifier)));
    EXPECT_TRUE(world->posts == 4 && world->lookups.empty());
}

TEST_F(Settings, MigrationMovesEachUsableItemIntoItsKeyIfAReadFoundItEmptyAndPostsNothing) {
    // clang-format off
    for (const auto& [account, text] : {std::pair{"fallbackVoiceIdentifier", "m/Zoë"},
             {"intonation", "150"}, {"headSize", "+07"}, {"voicing", "2"}, {"wordPause", "4.5"},
             {"phrasePause", "6"}})
        world->legacyItems[account] = test::bytes(text);
    // clang-format on
    world->stored = {{"voicing", "x"}};
    world->unreadable = {"phrasePause"};
    migrateLegacySettings(keychain);
    migrateLegacySettings(keychain); // changes nothing, looks up only what is still empty
    EXPECT_EQ(world->stored, (decltype(world->stored){{"fallbackVoiceIdentifier", "m/Zoë"},
                                                      {"intonation", I{100}},
                                                      {"headSizePercent", I{7}},
                                                      {"voicing", "x"}}));
    EXPECT_EQ(world->lookups, std::vector<std::string>({"fallbackVoiceIdentifier", "intonation",
                                                        "headSize", "wordPause", "wordPause"}));
    EXPECT_EQ(world->searches, 2); // one search per migration
    EXPECT_EQ(world->confirmations + world->posts, 0);
}
