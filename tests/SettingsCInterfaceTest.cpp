// The C interface: its getters over in-memory platform fakes, and its observer on the private
// session bus of the test session.

#include "platform/SettingsSignal.h"
#include "support/FakeSettingsPlatform.h"
#include "virelon/VirelonSharedSettings.h"
#include "virelon/virelon_settings.h"

#include <gtest/gtest.h>

#include <poll.h>

using virelon::VirelonSharedSettings;

namespace {

// Each C getter and the snapshot read each key as the library does; the fallback voice comes
// with its length (a NUL inside included) and a terminating NUL, or not at all.
TEST(SettingsCInterface, GettersAndTheSnapshotReadWhatTheLibraryReads) {
    const auto world = virelon::test::installFakeSettingsPlatform();
    using Values = std::vector<std::int64_t>;
    const auto text = [](const char* p, std::size_t n) {
        return p ? std::string(p, n + 1) : "none" + std::to_string(n);
    };
    const std::string kate = "m/Kate", nul("a\0b", 3);
    // One key stored at a time; what the fallback voice reads as, with its terminating NUL.
    const std::tuple<std::string, virelon::platform::StoredValue, std::string> rows[] = {
        {"none", std::int64_t{37}, "none0"},
        {"intonation", std::int64_t{37}, "none0"},
        {"headSizePercent", std::int64_t{37}, "none0"},
        {"voicing", std::int64_t{37}, "none0"},
        {"wordPause", std::int64_t{37}, "none0"},
        {"phrasePause", std::int64_t{37}, "none0"},
        {"fallbackVoiceIdentifier", kate, kate + '\0'},
        {"fallbackVoiceIdentifier", nul, nul + '\0'}};
    for (const auto& [key, value, voice] : rows) {
        world->stored = {{key, value}};
        const auto cpp = VirelonSharedSettings::voiceSettings();
        const Values expected{cpp.intonation, cpp.headSize, cpp.voicing, cpp.wordPause,
                              cpp.phrasePause};
        virelon_voice_settings c;
        ASSERT_EQ(virelon_settings_read(&c), 0);
        EXPECT_EQ((Values{virelon_settings_intonation(), virelon_settings_head_size(),
                          virelon_settings_voicing(), virelon_settings_word_pause(),
                          virelon_settings_phrase_pause()}),
                  expected)
            << key;
        EXPECT_EQ((Values{c.intonation, c.head_size, c.voicing, c.word_pause, c.phrase_pause}),
                  expected)
            << key;
        std::size_t length = 99;
        char* identifier = virelon_settings_fallback_voice_identifier(&length);
        EXPECT_EQ(text(identifier, length), voice) << key;
        EXPECT_EQ(text(c.fallback_voice_identifier, c.fallback_voice_identifier_length), voice);
        virelon_settings_string_free(identifier);
        virelon_voice_settings_clear(&c);
        EXPECT_EQ(c.fallback_voice_identifier, nullptr);
    }
    virelon_settings_string_free(virelon_settings_fallback_voice_identifier(nullptr));
    EXPECT_TRUE(world->events.empty()) << "reading never writes";
}

// Drives the observer as a C engine does until it handled `wanted` signals or `limit` passed;
// what process() reported in all.
int drive(virelon_settings_observer* observer, int wanted, std::chrono::milliseconds limit) {
    int handled = 0;
    for (auto end = std::chrono::steady_clock::now() + limit;
         handled < wanted && std::chrono::steady_clock::now() < end;) {
        pollfd descriptor{virelon_settings_observer_fd(observer),
                          virelon_settings_observer_events(observer), 0};
        ::poll(&descriptor, 1, 50);
        handled += virelon_settings_observer_process(observer);
    }
    return handled;
}

// Each change signal runs the callback once with its user data (a null callback only counts);
// another member of the same interface is not the observer's business. Without a bus, and given
// null arguments, each call fails plainly.
TEST(SettingsCInterface, EachChangeSignalRunsTheCallbackOnceAndNullArgumentsAreHarmless) {
    int callbacks = 0;
    virelon_settings_observer* observers[] = {
        virelon_settings_observe([](void* seen) { ++*static_cast<int*>(seen); }, &callbacks),
        virelon_settings_observe(nullptr, nullptr)};
    const auto& name = VirelonSharedSettings::changeNotification();
    auto poster = virelon::platform::makeSessionBusPoster();
    poster->post(name.substr(0, name.rfind('.')) + ".somethingElse");
    for (int i = 0; i < 3; ++i)
        poster->post(name);
    for (auto* observer : observers) {
        ASSERT_NE(observer, nullptr);
        EXPECT_EQ(drive(observer, 3, std::chrono::seconds(5)), 3);
        EXPECT_EQ(drive(observer, 1, std::chrono::milliseconds(200)), 0) << "nothing more";
        virelon_settings_observer_free(observer);
    }
    EXPECT_EQ(callbacks, 3);
    // Null arguments are harmless.
    EXPECT_EQ(virelon_settings_read(nullptr), -1);
    virelon_voice_settings_clear(nullptr);
    virelon_settings_string_free(nullptr);
    EXPECT_EQ(virelon_settings_observer_fd(nullptr), -1);
    EXPECT_EQ(virelon_settings_observer_events(nullptr), 0);
    EXPECT_EQ(virelon_settings_observer_timeout_usec(nullptr), UINT64_MAX);
    EXPECT_LT(virelon_settings_observer_process(nullptr), 0);
    virelon_settings_observer_free(nullptr);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/virelon-bus", 1);
    EXPECT_EQ(virelon_settings_observe([](void*) {}, nullptr), nullptr) << "no session bus";
}

} // namespace
