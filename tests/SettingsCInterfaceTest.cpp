// The C interface: its getters over in-memory platform fakes, and its observer on the private
// session bus of the test session.

#include "FakeSettingsPlatform.h"
#include "SettingsSignal.h"
#include "virelon/VirelonSharedSettings.h"
#include "virelon/virelon_settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <time.h>

using virelon::VirelonSharedSettings;
using virelon::platform::StoredValue;

namespace {

class SettingsCInterface : public ::testing::Test {
protected:
    std::shared_ptr<virelon::test::FakeWorld> world = virelon::test::installFakeSettingsPlatform();
};

struct GetterCase {
    const char* key;
    std::int64_t (*c)();
    std::int64_t (*cpp)() noexcept;
};
const GetterCase getters[] = {
    {"intonation", virelon_settings_intonation, VirelonSharedSettings::intonation},
    {"headSizePercent", virelon_settings_head_size, VirelonSharedSettings::headSize},
    {"voicing", virelon_settings_voicing, VirelonSharedSettings::voicing},
    {"wordPause", virelon_settings_word_pause, VirelonSharedSettings::wordPause},
    {"phrasePause", virelon_settings_phrase_pause, VirelonSharedSettings::phrasePause},
};

TEST_F(SettingsCInterface, GettersReadEachKeyAsTheLibraryDoes) {
    const StoredValue stored[] = {std::int64_t{37}, std::int64_t{250}, 12.7, std::string("64"),
                                  std::string("x")};
    for (const auto& getter : getters) {
        world->stored.clear();
        EXPECT_EQ(getter.c(), getter.cpp()) << getter.key << " (default)";
        for (const auto& value : stored) {
            world->stored.insert_or_assign(getter.key, value);
            EXPECT_EQ(getter.c(), getter.cpp()) << getter.key;
        }
        // Another key's value must not show through.
        world->stored.clear();
        for (const auto& other : getters) {
            if (&other != &getter)
                world->stored.insert_or_assign(other.key, std::int64_t{1});
        }
        EXPECT_EQ(getter.c(), getter.cpp()) << getter.key;
    }
}

TEST_F(SettingsCInterface, FallbackVoiceIdentifierIsCopiedWithItsLength) {
    const struct {
        const char* name;
        std::optional<StoredValue> stored;
        bool expectString;
        std::string text;
    } cases[] = {
        {"none stored", std::nullopt, false, ""},
        {"a voice", std::string("testvoices/Kate+Loud"), true, "testvoices/Kate+Loud"},
        {"empty text", std::string(""), true, ""},
        {"NUL inside", std::string("a\0b", 3), true, std::string("a\0b", 3)},
        {"not a text", std::int64_t{5}, false, ""},
    };
    for (const auto& c : cases) {
        world->stored.clear();
        if (c.stored)
            world->stored.insert_or_assign("fallbackVoiceIdentifier", *c.stored);
        std::size_t length = 99;
        char* identifier = virelon_settings_fallback_voice_identifier(&length);
        if (!c.expectString) {
            EXPECT_EQ(identifier, nullptr) << c.name;
            EXPECT_EQ(length, 0u) << c.name;
        } else {
            ASSERT_NE(identifier, nullptr) << c.name;
            EXPECT_EQ(std::string(identifier, length), c.text) << c.name;
            EXPECT_EQ(identifier[length], '\0') << c.name;
        }
        virelon_settings_string_free(identifier);
    }
    world->stored.insert_or_assign("fallbackVoiceIdentifier", std::string("m/v"));
    char* withoutLength = virelon_settings_fallback_voice_identifier(nullptr);
    ASSERT_NE(withoutLength, nullptr);
    EXPECT_STREQ(withoutLength, "m/v");
    virelon_settings_string_free(withoutLength);
}

TEST_F(SettingsCInterface, ReadFillsTheSnapshotAndClearReleasesIt) {
    world->stored = {{"intonation", std::int64_t{7}},
                     {"headSizePercent", 300.5},
                     {"voicing", std::string("12")},
                     {"phrasePause", std::int64_t{-1}},
                     {"fallbackVoiceIdentifier", std::string("m/Kate")}};
    const auto expected = VirelonSharedSettings::voiceSettings();
    virelon_voice_settings settings;
    ASSERT_EQ(virelon_settings_read(&settings), 0);
    EXPECT_EQ(settings.intonation, expected.intonation);
    EXPECT_EQ(settings.head_size, expected.headSize);
    EXPECT_EQ(settings.voicing, expected.voicing);
    EXPECT_EQ(settings.word_pause, expected.wordPause);
    EXPECT_EQ(settings.phrase_pause, expected.phrasePause);
    ASSERT_NE(settings.fallback_voice_identifier, nullptr);
    EXPECT_EQ(
        std::string(settings.fallback_voice_identifier, settings.fallback_voice_identifier_length),
        "m/Kate");
    virelon_voice_settings_clear(&settings);
    EXPECT_EQ(settings.fallback_voice_identifier, nullptr);
    EXPECT_EQ(settings.fallback_voice_identifier_length, 0u);

    world->stored.erase("fallbackVoiceIdentifier");
    ASSERT_EQ(virelon_settings_read(&settings), 0);
    EXPECT_EQ(settings.fallback_voice_identifier, nullptr);
    virelon_voice_settings_clear(&settings);
    EXPECT_TRUE(world->events.empty()) << "reading never writes";
}

TEST_F(SettingsCInterface, NullArgumentsAreHarmless) {
    EXPECT_EQ(virelon_settings_read(nullptr), -1);
    virelon_voice_settings_clear(nullptr);
    virelon_settings_string_free(nullptr);
    EXPECT_EQ(virelon_settings_observer_fd(nullptr), -1);
    EXPECT_EQ(virelon_settings_observer_events(nullptr), 0);
    EXPECT_EQ(virelon_settings_observer_timeout_usec(nullptr), UINT64_MAX);
    EXPECT_LT(virelon_settings_observer_process(nullptr), 0);
    virelon_settings_observer_free(nullptr);
}

TEST(SettingsCInterfaceObserver, NothingIsObservedWithoutASessionBus) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/virelon-bus", 1);
    EXPECT_EQ(virelon_settings_observe([](void*) {}, nullptr), nullptr);
}

std::uint64_t monotonicUsec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

/// Drives the observer the way a C engine does until `wanted` callbacks ran or `limit` passed;
/// returns the sum of what process() reported.
int pollUntil(virelon_settings_observer* observer, const int& callbacks, int wanted,
              std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int reported = 0;
    while (callbacks < wanted && std::chrono::steady_clock::now() < deadline) {
        pollfd descriptor{virelon_settings_observer_fd(observer),
                          virelon_settings_observer_events(observer), 0};
        const std::uint64_t wake = virelon_settings_observer_timeout_usec(observer);
        int timeout = 50;
        if (wake != UINT64_MAX) {
            const std::uint64_t now = monotonicUsec();
            timeout = wake <= now ? 0 : std::min(50, static_cast<int>((wake - now) / 1000 + 1));
        }
        poll(&descriptor, 1, timeout);
        const int handled = virelon_settings_observer_process(observer);
        if (handled < 0)
            return -1;
        reported += handled;
    }
    return reported;
}

TEST(SettingsCInterfaceObserver, EachChangeSignalRunsTheCallbackOnceWithItsUserData) {
    struct Seen {
        int callbacks = 0;
    } seen;
    virelon_settings_observer* observer = virelon_settings_observe(
        [](void* userData) { ++static_cast<Seen*>(userData)->callbacks; }, &seen);
    ASSERT_NE(observer, nullptr);
    EXPECT_GE(virelon_settings_observer_fd(observer), 0);

    auto poster = virelon::platform::makeSessionBusPoster();
    for (const int posts : {1, 3}) {
        seen.callbacks = 0;
        for (int i = 0; i < posts; ++i)
            poster->post(VirelonSharedSettings::changeNotification());
        EXPECT_EQ(pollUntil(observer, seen.callbacks, posts, std::chrono::seconds(5)), posts);
        EXPECT_EQ(seen.callbacks, posts);
        // Nothing more arrives: each signal ran the callback exactly once.
        EXPECT_EQ(pollUntil(observer, seen.callbacks, posts + 1, std::chrono::milliseconds(200)),
                  0);
    }
    // Another member of the same interface is not this observer's business.
    const auto& name = VirelonSharedSettings::changeNotification();
    poster->post(name.substr(0, name.rfind('.')) + ".somethingElse");
    seen.callbacks = 0;
    EXPECT_EQ(pollUntil(observer, seen.callbacks, 1, std::chrono::milliseconds(300)), 0);
    virelon_settings_observer_free(observer);
}

TEST(SettingsCInterfaceObserver, ANullCallbackStillCountsTheSignals) {
    virelon_settings_observer* observer = virelon_settings_observe(nullptr, nullptr);
    ASSERT_NE(observer, nullptr);
    virelon::platform::makeSessionBusPoster()->post(VirelonSharedSettings::changeNotification());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int handled = 0;
    while (handled == 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd descriptor{virelon_settings_observer_fd(observer),
                          virelon_settings_observer_events(observer), 0};
        poll(&descriptor, 1, 50);
        handled = virelon_settings_observer_process(observer);
    }
    EXPECT_EQ(handled, 1);
    virelon_settings_observer_free(observer);
}

} // namespace
