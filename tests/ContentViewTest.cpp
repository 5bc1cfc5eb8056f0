// The screen's state and operations, shown by a host that draws nothing, over fake services.

#include "FakeScreenServices.h"
#include "FakeSettingsPlatform.h"
#include "ScreenTexts.h"
#include "virelon/Identifiers.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

using namespace virelon;
using platform::StoredValue;
using test::voice;
using namespace std::chrono_literals;

namespace {

class Screen : public ::testing::Test {
protected:
    void SetUp() override {
        fakes.announcer.currentStatus = [this] {
            return window ? window->screen->status.get() : std::string();
        };
    }
    /// Creates the application (running the migration) and one window, not yet shown.
    test::HeadlessWindow& open() {
        if (!app)
            app.emplace();
        window = std::make_unique<test::HeadlessWindow>(app->body(), fakes.services);
        return *window;
    }
    ContentView& screen() { return *window->screen; }
    std::vector<std::string> announced() const {
        std::vector<std::string> messages;
        for (const auto& entry : fakes.announcer.entries)
            messages.push_back(entry.message);
        return messages;
    }

    std::shared_ptr<test::FakeWorld> world = test::installFakeSettingsPlatform();
    test::FakeServices fakes;
    std::optional<VirelonIOSApp> app;
    std::unique_ptr<test::HeadlessWindow> window;
};

TEST_F(Screen, CreationReadsTheControlsAndWritesNothing) {
    world->stored = {{"intonation", std::int64_t{0}},
                     {"headSizePercent", std::int64_t{250}},
                     {"wordPause", std::int64_t{-4}},
                     {"fallbackVoiceIdentifier", std::string("m/Kate")}};
    open();
    EXPECT_EQ(screen().status(), texts::ready);
    EXPECT_TRUE(screen().fallbackVoices().empty());
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "");
    EXPECT_EQ(screen().intonation(), 0);
    EXPECT_EQ(screen().headSize(), 100);
    EXPECT_EQ(screen().voicing(), 100);
    EXPECT_EQ(screen().wordPause(), 0);
    EXPECT_EQ(screen().phrasePause(), 12);
    EXPECT_EQ(world->posts, 0);
    EXPECT_EQ(world->flushes, 0);
    EXPECT_EQ(world->stored.at("headSizePercent"), StoredValue{std::int64_t{250}});
}

TEST_F(Screen, LaunchStoresTheChosenVoiceTwiceAndAnnouncesNothing) {
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB"), voice("m/Kate", "Kate", "en-GB")};
    auto& w = open();
    EXPECT_EQ(fakes.voices.listings, 0) << "nothing is listed before the screen is shown";
    w.show();
    EXPECT_EQ(fakes.voices.updates, 1);
    EXPECT_EQ(world->events.front(), "post " + std::string(identifiers::reloadVoicesName))
        << "the engine is asked first";
    EXPECT_EQ(world->reloadRequests, 1);
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "m/Kate");
    EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::string("m/Kate")});
    EXPECT_EQ(world->posts, 2);
    EXPECT_EQ(screen().status(), texts::ready);
    EXPECT_TRUE(fakes.announcer.entries.empty());

    w.show();
    EXPECT_EQ(fakes.voices.listings, 1) << "the launch task runs once per window";
}

TEST_F(Screen, LaunchWithoutDomainReportsTheFallbackVoiceOnce) {
    world->domainOpens = false;
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB")};
    open().show();
    EXPECT_EQ(screen().status(), texts::fallbackVoiceNotSaved);
    EXPECT_EQ(announced(), std::vector<std::string>{std::string(texts::fallbackVoiceNotSaved)});
    EXPECT_EQ(fakes.announcer.entries[0].statusAtThatTime, texts::fallbackVoiceNotSaved)
        << "the status line is set before the announcement";
    EXPECT_EQ(screen().intonation(), 100);
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "m/Amy");
}

TEST_F(Screen, LaunchWithoutFallbackVoicesWritesNothing) {
    for (const bool domainOpens : {true, false}) {
        world->domainOpens = domainOpens;
        fakes.voices.installed = {
            voice(std::string(identifiers::applicationIdentifier) + "/Aria", "Aria", "en-GB")};
        open().show();
        EXPECT_TRUE(screen().fallbackVoices().empty());
        EXPECT_EQ(world->posts, 0);
        EXPECT_EQ(screen().status(), texts::ready);
        EXPECT_TRUE(fakes.announcer.entries.empty());
    }
}

TEST_F(Screen, ASecondWindowRefreshesOnItsOwnWithoutMigratingAgain) {
    world->legacyItems = {{"voicing", test::bytes("30")}};
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB")};
    open().show();
    const auto lookupsAfterFirst = world->lookups.size();
    EXPECT_EQ(screen().voicing(), 30);

    open().show();
    EXPECT_EQ(screen().status(), texts::ready);
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "m/Amy");
    EXPECT_EQ(fakes.voices.listings, 2);
    EXPECT_EQ(world->lookups.size(), lookupsAfterFirst);
    EXPECT_EQ(world->posts, 4);
}

TEST_F(Screen, RefreshButtonAnnouncesEvenWithNoVoices) {
    auto& w = open();
    w.show();
    for (int press = 0; press < 2; ++press) {
        const auto body = screen().body();
        const auto& button = std::get<ui::ButtonRow>(body.sections[1].rows[0]);
        w.act(button.action);
    }
    EXPECT_EQ(screen().status(), texts::voicesRefreshed);
    EXPECT_EQ(announced(), std::vector<std::string>(2, std::string(texts::voicesRefreshed)));
    EXPECT_EQ(world->reloadRequests, 3) << "launch and each press";
}

TEST_F(Screen, PressesDuringARefreshQueueOneMoreAndTheScreenNeverWaitsForTheListing) {
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB")};
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    int listing = 0, mostAtOnce = 0;
    fakes.voices.duringListing = [&] {
        std::unique_lock lock(mutex);
        mostAtOnce = std::max(mostAtOnce, ++listing);
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        --listing;
    };
    auto& w = open();
    w.runtime.screenShown();
    w.runtime.runPending(); // the launch refresh starts and returns while its listing is held
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return listing == 1; }));
    }
    const auto body = screen().body();
    const auto& button = std::get<ui::ButtonRow>(body.sections[1].rows[0]);
    w.runtime.update(button.action);
    w.runtime.update(button.action);
    EXPECT_TRUE(screen().refreshing());
    EXPECT_TRUE(screen().fallbackVoices().empty()) << "nothing shows before the listing is done";
    EXPECT_EQ(fakes.voices.updates, 1) << "the queued refresh waits for the one under way";
    {
        const std::lock_guard lock(mutex);
        released = true;
    }
    changed.notify_all();
    w.settle();

    EXPECT_FALSE(screen().refreshing());
    EXPECT_EQ(fakes.voices.updates, 2) << "two presses queue one more refresh";
    EXPECT_EQ(fakes.voices.listings, 2);
    EXPECT_EQ(mostAtOnce, 1) << "listings never overlap";
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "m/Amy");
    EXPECT_EQ(announced(), std::vector<std::string>{std::string(texts::voicesRefreshed)});
}

TEST_F(Screen, RefreshKeepingTheSameVoiceWritesOnceWithoutTheHandler) {
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB"), voice("m/Zoe", "Zoe", "fr-FR")};
    auto& w = open();
    w.show();
    const int postsAfterLaunch = world->posts;
    w.act([&] { screen().refreshVoices(false); });
    EXPECT_EQ(world->posts, postsAfterLaunch + 1);

    // The stored voice is gone: the next rule picks another, stored by refresh and handler.
    fakes.voices.installed = {voice("m/Zoe", "Zoe", "fr-FR")};
    w.act([&] { screen().refreshVoices(false); });
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "m/Zoe");
    EXPECT_EQ(world->posts, postsAfterLaunch + 3);

    // No voice at all: the list empties, the identifier and the store stay.
    fakes.voices.installed.clear();
    w.act([&] { screen().refreshVoices(false); });
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "m/Zoe");
    EXPECT_EQ(world->posts, postsAfterLaunch + 3);
    EXPECT_TRUE(screen().body().sections[2].rows.size() == 2);
    EXPECT_TRUE(std::get<ui::PickerRow>(screen().body().sections[2].rows[0]).disabled);

    // The stored voice's module did not answer: its voice is unknown, not gone, and stays.
    fakes.voices.installed = {voice("n/Amy", "Amy", "en-GB")};
    fakes.voices.failedModules = {"m"};
    w.act([&] { screen().refreshVoices(false); });
    EXPECT_EQ(screen().fallbackVoices().size(), 1u);
    EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::string("m/Zoe")});
    EXPECT_EQ(world->posts, postsAfterLaunch + 3);

    // A failed listing is not "no voices": list, choice and store stay, and the user is told.
    fakes.voices.fails = true;
    w.act([&] { screen().refreshVoices(true); });
    EXPECT_EQ(screen().fallbackVoices().size(), 1u);
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "m/Zoe");
    EXPECT_EQ(world->posts, postsAfterLaunch + 3);
    EXPECT_EQ(announced(), std::vector<std::string>{std::string(texts::voicesNotListed)});
}

TEST_F(Screen, SliderWritesAreRoundedAndStoredOnlyWhenTheValueChanges) {
    auto& w = open();
    w.show();
    const struct {
        double position;
        std::int64_t field;
        int posts;
    } moves[] = {{60.0, 60, 1}, {60.0, 60, 0}, {49.5, 50, 1},  {49.49, 49, 1},
                 {0.5, 1, 1},   {0.0, 0, 1},   {100.0, 100, 1}};
    for (const auto& [position, field, posts] : moves) {
        const int before = world->posts;
        const auto body = screen().body();
        const auto& slider = std::get<ui::SliderRow>(body.sections[3].rows[4]);
        ASSERT_EQ(slider.title, "Head size");
        w.act([&] { slider.value.set(position); });
        EXPECT_EQ(screen().headSize(), field);
        EXPECT_EQ(world->posts - before, posts) << position;
        EXPECT_EQ(world->stored.at("headSizePercent"), StoredValue{field});
    }
    EXPECT_FALSE(world->stored.contains("headSize"));
}

TEST_F(Screen, ObserversRunAfterTheUpdateInDeclaredOrderWithTheFinalValue) {
    auto& w = open();
    w.act([&] {
        screen().phrasePause.set(20);
        screen().intonation.set(70);
        screen().voicing.set(1);
        screen().voicing.set(100); // back to where it was: no change
        EXPECT_TRUE(world->events.empty()) << "nothing runs inside the update";
    });
    const std::vector<std::string> sets = {world->events[0], world->events[3]};
    EXPECT_EQ(sets, (std::vector<std::string>{"set intonation", "set phrasePause"}));
    EXPECT_EQ(world->posts, 2);
}

TEST_F(Screen, FailedWritesAreShownAndAnnouncedAndTheControlKeepsItsValue) {
    world->domainOpens = false;
    auto& w = open();
    w.act([&] { screen().wordPause.set(40); });
    w.act([&] { screen().wordPause.set(41); });
    EXPECT_EQ(screen().wordPause(), 41);
    EXPECT_EQ(screen().status(), texts::voiceSettingNotSaved);
    EXPECT_EQ(announced(), std::vector<std::string>(2, std::string(texts::voiceSettingNotSaved)));

    w.act([&] { screen().fallbackVoiceIdentifier.set(""); });
    w.act([&] { screen().fallbackVoiceIdentifier.set("m/X"); });
    w.act([&] { screen().fallbackVoiceIdentifier.set(""); });
    EXPECT_EQ(announced().size(), 3u) << "an empty identifier does nothing at all";
    EXPECT_EQ(screen().status(), texts::fallbackVoiceNotSaved);
}

TEST_F(Screen, ASuccessfulWriteLeavesAnEarlierFailureMessage) {
    world->failStores = true;
    auto& w = open();
    w.act([&] { screen().voicing.set(10); });
    world->failStores = false;
    w.act([&] { screen().voicing.set(11); });
    EXPECT_EQ(screen().status(), texts::voiceSettingNotSaved);
    EXPECT_EQ(world->stored.at("voicing"), StoredValue{std::int64_t{11}});
}

TEST_F(Screen, VersionTextTakesEachPartFromTheBundleOrUnknown) {
    using platform::InfoValue;
    const struct {
        std::optional<InfoValue> shortVersion, build;
        std::string text;
    } cases[] = {
        {InfoValue{std::string("2.1")}, InfoValue{std::string("45")}, "2.1 (45)"},
        {std::nullopt, InfoValue{std::string("45")}, "Unknown (45)"},
        {std::nullopt, std::nullopt, "Unknown (Unknown)"},
        {InfoValue{std::string("2.1")}, InfoValue{std::int64_t{45}}, "2.1 (Unknown)"},
        {InfoValue{std::string()}, InfoValue{std::string("45")}, " (45)"},
        {InfoValue{true}, InfoValue{std::string()}, "Unknown ()"},
    };
    open();
    for (const auto& c : cases) {
        fakes.bundle.values.clear();
        if (c.shortVersion)
            fakes.bundle.values["CFBundleShortVersionString"] = *c.shortVersion;
        if (c.build)
            fakes.bundle.values["CFBundleVersion"] = *c.build;
        EXPECT_EQ(screen().version(), c.text);
    }
}

TEST_F(Screen, DescriptionListsTheRowsTopToBottom) {
    fakes.voices.installed = {voice("m/Kate", "Kate", "en-GB"), voice("n/Kate", "Kate", "en-GB")};
    world->stored["phrasePause"] = std::int64_t{12};
    auto& w = open();
    auto describe = [&] {
        std::vector<std::string> lines;
        for (const auto& section : screen().body().sections) {
            lines.push_back("# " + section.titleKey);
            for (const auto& row : section.rows) {
                std::visit(
                    [&](const auto& r) {
                        using R = std::decay_t<decltype(r)>;
                        if constexpr (std::is_same_v<R, ui::LabeledRow>)
                            lines.push_back(r.labelKey + ": " + r.value);
                        else if constexpr (std::is_same_v<R, ui::TextRow>)
                            lines.push_back(r.text);
                        else if constexpr (std::is_same_v<R, ui::ButtonRow>)
                            lines.push_back("[" + r.titleKey + "]");
                        else if constexpr (std::is_same_v<R, ui::PickerRow>)
                            lines.push_back(r.titleKey + (r.disabled ? " (disabled) " : " ") +
                                            std::to_string(r.items.size()) + " " +
                                            r.selection.get());
                        else
                            lines.push_back(r.title + " " +
                                            ui::formatPercent(r.accessibilityValueKey,
                                                              r.accessibilityValueArgument));
                    },
                    row);
            }
        }
        return lines;
    };
    const std::vector<std::string> created = {
        "# Status",
        "Engine: Ready",
        "Languages: 25",
        "Voices: 52",
        "Processing: On device",
        "# VoiceOver",
        "[Refresh Virelon Voices]",
        "Virelon is ready.",
        "# Fallback",
        "Fallback Voice (disabled) 0 ",
        "This voice is used only if Virelon cannot produce speech.",
        "# Voice Controls",
        "Rate: VoiceOver",
        "Pitch: VoiceOver",
        "Volume: VoiceOver",
        "Intonation 100 percent",
        "Head size 50 percent",
        "Voicing 100 percent",
        "Word pause 0 percent",
        "Phrase pause 12 percent",
        "Changes apply to the next spoken utterance. Word and phrase pause are percentages of "
        "Virelon's supported pause ranges.",
        "# About",
        "Speech engine: Virelon",
        "Version: 2.1 (45)"};
    EXPECT_EQ(describe(), created);

    w.show();
    const auto body = screen().body();
    const auto& picker = std::get<ui::PickerRow>(body.sections[2].rows[0]);
    EXPECT_FALSE(picker.disabled);
    ASSERT_EQ(picker.items.size(), 2u);
    EXPECT_EQ(picker.items[0].displayName, "English (United Kingdom), Kate");
    EXPECT_EQ(picker.items[1].displayName, "English (United Kingdom), Kate");
    EXPECT_EQ(picker.items[0].tag, "m/Kate");
    EXPECT_EQ(picker.items[1].tag, "n/Kate");
    EXPECT_EQ(picker.selection.get(), "m/Kate");
}

} // namespace
