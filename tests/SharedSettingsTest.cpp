// The shared settings over in-memory platform fakes: reading, clamping, writing, migration.

#include "FakeSettingsPlatform.h"
#include "virelon/DecimalInteger.h"
#include "virelon/Identifiers.h"
#include "virelon/StoredValueReading.h"
#include "virelon/VirelonSharedSettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using virelon::VirelonSharedSettings;
using virelon::platform::StoredValue;
using virelon::test::bytes;

namespace {

class SharedSettings : public ::testing::Test {
protected:
    std::shared_ptr<virelon::test::FakeWorld> world = virelon::test::installFakeSettingsPlatform();
};

using Getter = std::int64_t (*)() noexcept;
struct GetterCase {
    const char* key;
    Getter getter;
    std::int64_t defaultValue;
};
const GetterCase getters[] = {
    {"intonation", VirelonSharedSettings::intonation, 100},
    {"headSizePercent", VirelonSharedSettings::headSize, 50},
    {"voicing", VirelonSharedSettings::voicing, 100},
    {"wordPause", VirelonSharedSettings::wordPause, 0},
    {"phrasePause", VirelonSharedSettings::phrasePause, 12},
};

TEST_F(SharedSettings, EmptyDomainReadsAsDefaults) {
    for (const auto& c : getters)
        EXPECT_EQ(c.getter(), c.defaultValue) << c.key;
    EXPECT_EQ(VirelonSharedSettings::fallbackVoiceIdentifier(), std::nullopt);
}

TEST_F(SharedSettings, StoredValuesAreReadAsWholeNumbersAndClampedWithoutRewriting) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        StoredValue stored;
        std::int64_t read;
    } cases[] = {
        {std::int64_t{0}, 0},
        {std::int64_t{37}, 37},
        {std::int64_t{250}, 100},
        {std::int64_t{-3}, 0},
        {std::numeric_limits<std::int64_t>::min(), 0},
        {std::numeric_limits<std::int64_t>::max(), 100},
        {42.9, 42},
        {-0.5, 0},
        {1e300, 100},
        {nan, 0},
        {std::string("77"), 77},
        {std::string("seventy"), 0},
        {std::string(" 77"), 0},
        {std::vector<std::uint8_t>{1, 2}, 0},
    };
    for (const auto& c : getters) {
        for (const auto& [stored, read] : cases) {
            world->stored.insert_or_assign(c.key, stored);
            EXPECT_EQ(c.getter(), read) << c.key << " holding case " << &stored - &cases[0].stored;
        }
    }
    EXPECT_TRUE(world->events.empty()) << "reading never writes";
}

TEST_F(SharedSettings, TheSnapshotReadsEachSettingAsItsGetterDoes) {
    world->stored = {{"intonation", std::int64_t{7}},
                     {"headSizePercent", 300.5},
                     {"voicing", std::string("12")},
                     {"phrasePause", std::int64_t{-1}},
                     {"fallbackVoiceIdentifier", std::string("m/Kate")}};
    const auto snapshot = VirelonSharedSettings::voiceSettings();
    EXPECT_EQ(snapshot.intonation, VirelonSharedSettings::intonation());
    EXPECT_EQ(snapshot.headSize, 100);
    EXPECT_EQ(snapshot.voicing, 12);
    EXPECT_EQ(snapshot.wordPause, 0);
    EXPECT_EQ(snapshot.phrasePause, 0);
    EXPECT_EQ(snapshot.fallbackVoiceIdentifier, "m/Kate");

    world->stored["fallbackVoiceIdentifier"] = std::int64_t{1};
    EXPECT_EQ(VirelonSharedSettings::voiceSettings().fallbackVoiceIdentifier, std::nullopt);
}

TEST_F(SharedSettings, HeadSizeIsReadOnlyFromItsOwnKey) {
    world->stored["headSize"] = std::int64_t{70};
    EXPECT_EQ(VirelonSharedSettings::headSize(), 50);
}

TEST_F(SharedSettings, FallbackIdentifierIsReadOnlyWhenStoredAsText) {
    world->stored["fallbackVoiceIdentifier"] = std::string();
    EXPECT_EQ(VirelonSharedSettings::fallbackVoiceIdentifier(), std::string());
    world->stored["fallbackVoiceIdentifier"] = std::string(" espeak-ng/Kate \n");
    EXPECT_EQ(VirelonSharedSettings::fallbackVoiceIdentifier(), " espeak-ng/Kate \n");
    world->stored["fallbackVoiceIdentifier"] = std::int64_t{5};
    EXPECT_EQ(VirelonSharedSettings::fallbackVoiceIdentifier(), std::nullopt);
}

TEST_F(SharedSettings, WritesClampStoreFlushThenPostOnce) {
    const struct {
        std::int64_t given, stored;
    } cases[] = {
        {130, 100}, {-1, 0}, {0, 0}, {55, 55}, {std::numeric_limits<std::int64_t>::min(), 0}};
    for (const auto& [given, stored] : cases) {
        world->events.clear();
        EXPECT_TRUE(VirelonSharedSettings::saveSetting(given, "voicing"));
        EXPECT_EQ(world->stored.at("voicing"), StoredValue{stored});
        const std::vector<std::string> expected = {
            "set voicing", "flush", "post " + std::string(virelon::identifiers::notificationName)};
        EXPECT_EQ(world->events, expected);
    }
}

TEST_F(SharedSettings, FallbackWriteStoresTheTextUnchangedEvenWhenEmpty) {
    EXPECT_TRUE(VirelonSharedSettings::setFallbackVoiceIdentifier(""));
    EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::string()});
    EXPECT_EQ(world->posts, 1);
}

TEST_F(SharedSettings, FailedStoreOrFlushIsReportedAndPostsNothing) {
    constexpr auto failed = VirelonSharedSettings::Removal::failed;
    world->stored["intonation"] = std::int64_t{3};
    world->failStores = true;
    EXPECT_FALSE(VirelonSharedSettings::saveSetting(40, "intonation"));
    EXPECT_FALSE(VirelonSharedSettings::setFallbackVoiceIdentifier("a/b"));
    EXPECT_EQ(VirelonSharedSettings::removeSetting("intonation"), failed);
    EXPECT_EQ(world->flushes, 0);

    world->failStores = false;
    world->failFlush = true;
    EXPECT_FALSE(VirelonSharedSettings::saveSetting(40, "intonation"));
    EXPECT_FALSE(VirelonSharedSettings::setFallbackVoiceIdentifier("a/b"));
    EXPECT_EQ(VirelonSharedSettings::removeSetting("intonation"), failed);
    EXPECT_EQ(world->posts, 0);
}

TEST_F(SharedSettings, AbsentDomainGivesDefaultsAndFailedWritesForTheWholeProcess) {
    int opens = 0;
    auto& platform = virelon::detail::settingsPlatform();
    platform.openDomain = [&opens](std::string_view) {
        ++opens;
        return std::unique_ptr<virelon::platform::PreferencesDomain>();
    };
    for (int round = 0; round < 3; ++round) {
        for (const auto& c : getters)
            EXPECT_EQ(c.getter(), c.defaultValue);
        EXPECT_FALSE(VirelonSharedSettings::saveSetting(10, "wordPause"));
        EXPECT_FALSE(VirelonSharedSettings::setFallbackVoiceIdentifier(""));
        VirelonSharedSettings::migrateLegacySettings();
    }
    EXPECT_EQ(opens, 1) << "opening must never be retried";
    EXPECT_EQ(world->posts, 0);
    EXPECT_TRUE(world->lookups.empty()) << "no keychain lookups without a domain";
}

TEST_F(SharedSettings, TheDomainIsOpenedByTheSuiteName) {
    std::string opened;
    virelon::detail::settingsPlatform().openDomain = [&opened](std::string_view suite) {
        opened = suite;
        return std::unique_ptr<virelon::platform::PreferencesDomain>();
    };
    VirelonSharedSettings::intonation();
    EXPECT_EQ(opened, "group." + std::string(virelon::identifiers::applicationIdentifier));
}

// --- Migration ---------------------------------------------------------------------------------

TEST_F(SharedSettings, MigrationStoresParsedClampedIntegers) {
    const struct {
        const char* text;
        std::int64_t stored;
    } cases[] = {{"42", 42},
                 {"150", 100},
                 {"-7", 0},
                 {"+5", 5},
                 {"007", 7},
                 {"0", 0},
                 {"-9223372036854775808", 0}};
    for (const auto& [text, stored] : cases) {
        world->stored.clear();
        world->legacyItems = {{"intonation", bytes(text)}};
        VirelonSharedSettings::migrateLegacySettings();
        EXPECT_EQ(world->stored.at("intonation"), StoredValue{stored}) << text;
    }
}

TEST_F(SharedSettings, MigrationSkipsTextsThatAreNotDecimalIntegers) {
    const std::string cases[] = {" 42",
                                 "42 ",
                                 "42\n",
                                 "4.5",
                                 "12a",
                                 "+",
                                 "-",
                                 "",
                                 "+-4",
                                 "0x10",
                                 "1,000",
                                 "99999999999999999999",
                                 std::string("4\0", 2),
                                 "\xd9\xa4\xd9\xa2" /* Arabic-Indic digits */};
    for (const auto& text : cases) {
        world->stored.clear();
        world->legacyItems = {{"wordPause", bytes(text)}};
        VirelonSharedSettings::migrateLegacySettings();
        EXPECT_FALSE(world->stored.contains("wordPause")) << '"' << text << '"';
        EXPECT_EQ(VirelonSharedSettings::wordPause(), 0);
    }
}

TEST_F(SharedSettings, MigrationMovesEveryLegacyItemToItsKey) {
    world->legacyItems = {{"fallbackVoiceIdentifier", bytes("espeak-ng/Kate")},
                          {"intonation", bytes("1")},
                          {"headSize", bytes("2")},
                          {"voicing", bytes("3")},
                          {"wordPause", bytes("4")},
                          {"phrasePause", bytes("5")}};
    VirelonSharedSettings::migrateLegacySettings();

    const std::map<std::string, StoredValue, std::less<>> expected = {
        {"fallbackVoiceIdentifier", std::string("espeak-ng/Kate")},
        {"intonation", std::int64_t{1}},
        {"headSizePercent", std::int64_t{2}},
        {"voicing", std::int64_t{3}},
        {"wordPause", std::int64_t{4}},
        {"phrasePause", std::int64_t{5}}};
    EXPECT_EQ(world->stored, expected);
    const std::vector<std::string> order = {
        "fallbackVoiceIdentifier", "intonation", "headSize", "voicing", "wordPause", "phrasePause"};
    EXPECT_EQ(world->lookups, order);
    EXPECT_EQ(world->searches, 1) << "one search for every item";
    EXPECT_EQ(world->lookedUpService, virelon::identifiers::keychainService);
    EXPECT_EQ(world->lookedUpAccessGroup, virelon::identifiers::keychainAccessGroup);
    EXPECT_EQ(world->flushes, 0);
    EXPECT_EQ(world->posts, 0);

    VirelonSharedSettings::migrateLegacySettings();
    EXPECT_EQ(world->stored, expected) << "a second run changes nothing";
    EXPECT_EQ(world->searches, 1) << "no search once every key holds a value";
}

// Only a read that found no value lets the legacy value in: a value of any type, or a read that
// failed (busy past the timeout, an I/O error), keeps what the user may have set.
TEST_F(SharedSettings, MigrationKeepsValuesAlreadyStoredOrUnreadable) {
    world->stored["voicing"] = std::string("not a number");
    world->stored["fallbackVoiceIdentifier"] = std::int64_t{3};
    world->stored["wordPause"] = std::int64_t{70};
    world->unreadable = {"wordPause", "phrasePause"};
    world->legacyItems = {{"voicing", bytes("20")},
                          {"fallbackVoiceIdentifier", bytes("x/y")},
                          {"wordPause", bytes("5")},
                          {"phrasePause", bytes("6")}};
    VirelonSharedSettings::migrateLegacySettings();
    EXPECT_EQ(world->stored.at("voicing"), StoredValue{std::string("not a number")});
    EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::int64_t{3}});
    EXPECT_EQ(world->stored.at("wordPause"), StoredValue{std::int64_t{70}});
    EXPECT_FALSE(world->stored.contains("phrasePause"));
    EXPECT_EQ(world->lookups, std::vector<std::string>({"intonation", "headSize"}));
}

TEST_F(SharedSettings, MigratedFallbackTextMustBeUtf8AndIsKeptExactly) {
    const struct {
        std::string item;
        std::optional<std::string> stored;
    } cases[] = {
        {"", std::string()},
        {"espeak-ng/Zoë\n", std::string("espeak-ng/Zoë\n")},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"\xff\xfe", std::nullopt},
        {"caf\xc3", std::nullopt},
    };
    for (const auto& [item, stored] : cases) {
        world->stored.clear();
        world->legacyItems = {{"fallbackVoiceIdentifier", bytes(item)}};
        VirelonSharedSettings::migrateLegacySettings();
        EXPECT_EQ(VirelonSharedSettings::fallbackVoiceIdentifier(), stored);
    }
}

// --- The two text rules on their own ------------------------------------------------------------

TEST(DecimalInteger, AcceptsExactlySignedAsciiDigitRunsWithinSixtyFourBits) {
    const struct {
        const char* text;
        std::optional<std::int64_t> value;
    } cases[] = {
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"-9223372036854775809", std::nullopt},
        {"+0009223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-0", 0},
        {"--1", std::nullopt},
        {"1-", std::nullopt},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(virelon::parseDecimalInteger(text), value) << text;
}

TEST(Utf8, RejectsMalformedSequences) {
    const struct {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"\xe2\x82\xac", true},      {"\xf0\x9f\x98\x80", true},  {"\xc0\xaf", false},
        {"\xed\xa0\x80", false},     {"\xf4\x90\x80\x80", false}, {"\xe2\x82", false},
        {"\xe0\x80\xaf", false},     {"\xf0\x80\x80\xaf", false}, {"\x80", false},
        {"\xf5\x80\x80\x80", false},
    };
    for (const auto& [text, valid] : cases)
        EXPECT_EQ(virelon::decodeUtf8(bytes(text)).has_value(), valid);
}

} // namespace
