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

TEST_F(Settings, ReadsGiveTheDefaultOrTheStoredValueClamped) {
    const std::pair<platform::StoredValue, I> storedAndRead[] = {
        {I{0}, 0}, {I{250}, 100}, {I{-3}, 0}, {42.9, 42}};
    for (const auto& [key, get, byDefault, field] : controls) {
        EXPECT_EQ(get(), byDefault) << key;
        for (const auto& [stored, read] : storedAndRead) {
            world->stored.insert_or_assign(key, stored);
            EXPECT_EQ(get(), read) << key;
            EXPECT_EQ(core.voiceSettings().*field, read) << key;
        }
    }
    EXPECT_TRUE(world->events.empty()) << "reading writes nothing";
}

TEST_F(Settings, AFallbackVoiceStoredAsAnythingButTextIsNone) {
    world->stored = {{"fallbackVoiceIdentifier", I{5}}};
    EXPECT_EQ(core.fallbackVoiceIdentifier(), std::nullopt);
}

TEST_F(Settings, WritesClampStoreConfirmThenPostOnce) {
    const std::string post = "post " + std::string(identifiers::notificationName);
    world->stored = {{"wordPause", I{9}}};
    EXPECT_TRUE(core.saveSetting(130, "voicing"));
    EXPECT_TRUE(core.saveSetting(-1, "phrasePause"));
    EXPECT_TRUE(core.setFallbackVoiceIdentifier(""));
    EXPECT_EQ(core.removeSetting("wordPause"), S::Removal::removed);
    EXPECT_EQ(core.removeSetting("wordPause"), S::Removal::nothingStored);
    // clang-format off
    EXPECT_EQ(world->stored, (decltype(world->stored){{"voicing", I{100}}, {"phrasePause", I{0}},
                                                      {"fallbackVoiceIdentifier", ""}}));
    EXPECT_EQ(world->events, std::vector<std::string>({"set voicing", "confirm", post,
        "set phrasePause", "confirm", post, "set fallbackVoiceIdentifier", "confirm", post,
        "remove wordPause", "confirm", post, "remove wordPause"}));
    // clang-format on
}

// A store that fails, or one whose write cannot be confirmed, is a failed write: nothing posted.
TEST_F(Settings, FailedWritesPostNothing) {
    world->stored = {{"voicing", I{9}}};
    for (const bool storeFails : {true, false}) {
        world->failStores = storeFails;
        world->failConfirm = !storeFails;
        EXPECT_FALSE(core.saveSetting(40, "voicing")) << storeFails;
        EXPECT_FALSE(core.setFallbackVoiceIdentifier("a/b")) << storeFails;
        EXPECT_EQ(core.removeSetting("voicing"), S::Removal::failed) << storeFails;
    }
    EXPECT_EQ(world->posts, 0);
}

// The process's settings find no domain: defaults, failed writes, no keychain lookups; the
// domain is tried once, not again on every use.
TEST_F(Settings, WithoutADomainWritesFailReadsGiveDefaultsAndTheKeychainIsNotAsked) {
    world->domainOpens = false;
    world->legacyItems = {{"voicing", test::bytes("3")}};
    for (int round = 0; round < 2; ++round) {
        EXPECT_FALSE(S::saveSetting(10, "voicing")) << round;
        EXPECT_EQ(S::voicing(), 100) << round;
        migrateLegacySettings(keychain);
    }
    EXPECT_EQ(world->opened,
              std::vector<std::string>{"group." + std::string(identifiers::applicationIdentifier)});
    EXPECT_EQ(world->posts, 0);
    EXPECT_TRUE(world->lookups.empty());
}

struct Migration : Settings {
    // Every legacy item; "voicing" already holds a value, "phrasePause" cannot be read.
    void SetUp() override {
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
    }
};

TEST_F(Migration, MovesEachUsableItemIntoItsKeyIfAReadFoundItEmpty) {
    EXPECT_EQ(world->stored, (decltype(world->stored){{"fallbackVoiceIdentifier", "m/Zoë"},
                                                      {"intonation", I{100}},
                                                      {"headSizePercent", I{7}},
                                                      {"voicing", "x"}}));
    EXPECT_EQ(world->lookups, std::vector<std::string>({"fallbackVoiceIdentifier", "intonation",
                                                        "headSize", "wordPause", "wordPause"}));
    EXPECT_EQ(world->searches, 2); // one search per migration
}

TEST_F(Migration, ConfirmsNothingAndPostsNothing) {
    EXPECT_EQ(world->confirmations, 0);
    EXPECT_EQ(world->posts, 0);
}
