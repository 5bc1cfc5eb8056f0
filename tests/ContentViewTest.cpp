// The screen's state and operations, shown by a host that draws nothing, over fake services: what
// is stored, posted, shown in the status line and announced, for each thing the user does.

#include "FakeScreenServices.h"
#include "FakeSettingsPlatform.h"
#include "ScreenTexts.h"
#include "virelon/Identifiers.h"

#include <gtest/gtest.h>

using namespace virelon;
using platform::StoredValue;
using test::voice;
using Messages = std::vector<std::string>;

namespace {

class Screen : public ::testing::Test {
protected:
    /// Creates the application (running the migration) once, and a window, not yet shown.
    test::HeadlessWindow& open() {
        if (!app)
            app.emplace();
        fakes.announcer.currentStatus = [this] { return screen().status(); };
        window = std::make_unique<test::HeadlessWindow>(app->body(), fakes.services);
        return *window;
    }
    ContentView& screen() { return *window->screen; }
    void refresh(bool byTheUser = false) { window->act([&] { screen().refreshVoices(byTheUser); }); }

    std::shared_ptr<test::FakeWorld> world = test::installFakeSettingsPlatform();
    test::FakeServices fakes;
    std::optional<VirelonIOSApp> app;
    std::unique_ptr<test::HeadlessWindow> window;
};

TEST_F(Screen, CreationReadsClampedControlsAndWritesNothing) {
    world->stored = {{"intonation", std::int64_t{0}},
                     {"headSizePercent", std::int64_t{250}},
                     {"wordPause", std::int64_t{-4}}};
    open();
    const std::int64_t expected[] = {0, 100, 100, 0, 12};
    EXPECT_EQ(std::vector<std::int64_t>({screen().intonation(), screen().headSize(),
                                         screen().voicing(), screen().wordPause(),
                                         screen().phrasePause()}),
              std::vector<std::int64_t>(std::begin(expected), std::end(expected)));
    EXPECT_EQ(screen().status(), texts::ready);
    EXPECT_EQ(world->posts + world->flushes, 0);
    EXPECT_EQ(world->stored.at("headSizePercent"), StoredValue{std::int64_t{250}});
}

TEST_F(Screen, LaunchAsksTheEngineFirstAndStoresTheChosenVoiceTwiceOncePerWindow) {
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB"), voice("m/Kate", "Kate", "en-GB")};
    open().show();
    window->show();
    EXPECT_EQ(world->events.front(), "post " + std::string(identifiers::reloadVoicesName));
    EXPECT_EQ(fakes.voices.listings, 1) << "the launch task runs once per window";
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "m/Kate");
    EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::string("m/Kate")});
    EXPECT_EQ(world->posts, 2) << "by the launch task and by the selection's observer";
    const auto lookups = world->lookups.size();
    open().show();
    EXPECT_EQ(fakes.voices.listings, 2);
    EXPECT_EQ(world->lookups.size(), lookups) << "migrated once per process";
    EXPECT_GT(lookups, 0u);
    EXPECT_TRUE(fakes.announcer.messages.empty());
    EXPECT_EQ(screen().status(), texts::ready);
}

TEST_F(Screen, LaunchWithoutDomainSaysSoOnceAfterSettingTheStatusLine) {
    world->domainOpens = false;
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB")};
    open().show();
    EXPECT_EQ(fakes.announcer.messages, Messages{std::string(texts::fallbackVoiceNotSaved)});
    EXPECT_EQ(fakes.announcer.statuses, fakes.announcer.messages);
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "m/Amy");
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
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return listing == 1; }));
    }
    w.runtime.update([&] { screen().refreshVoices(true); });
    w.runtime.update([&] { screen().refreshVoices(true); });
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
    EXPECT_EQ(fakes.announcer.messages, Messages{std::string(texts::voicesRefreshed)});
}

TEST_F(Screen, RefreshKeepsWhatItCannotReplaceAndTellsTheUserOnlyWhenAsked) {
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB"), voice("m/Zoe", "Zoe", "fr-FR"),
                              voice(std::string(identifiers::applicationIdentifier) + "/A", "A",
                                    "en-GB")};
    open().show();
    const struct {
        const char* what;
        std::vector<platform::Voice> installed;
        std::vector<std::string> failedModules;
        bool fails;
        std::size_t listed;
        int posts; // after the launch's two
        const char* chosen;
        std::string_view announced;
    } steps[] = {
        {"same voice: stored once", fakes.voices.installed, {}, false, 2, 3, "m/Amy", {}},
        {"voice gone: the next rule's, stored twice", {voice("m/Zoe", "Zoe", "fr-FR")}, {}, false,
         1, 5, "m/Zoe", {}},
        {"no voice: the choice stays", {}, {}, false, 0, 5, "m/Zoe", {}},
        {"its module did not answer: unknown, not gone", {voice("n/Amy", "Amy", "en-GB")}, {"m"},
         false, 1, 5, "m/Zoe", {}},
        {"failed listing: not \"no voices\"", {}, {}, true, 1, 5, "m/Zoe", texts::voicesNotListed},
        {"by the user: announced even with no voices", {}, {}, false, 0, 5, "m/Zoe",
         texts::voicesRefreshed},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        fakes.voices.installed = step.installed;
        fakes.voices.failedModules = step.failedModules;
        fakes.voices.fails = step.fails;
        fakes.announcer.messages.clear();
        refresh(!step.announced.empty());
        EXPECT_EQ(screen().fallbackVoices().size(), step.listed);
        EXPECT_EQ(world->posts, step.posts);
        EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::string(step.chosen)});
        EXPECT_EQ(fakes.announcer.messages,
                  step.announced.empty() ? Messages{} : Messages{std::string(step.announced)});
    }
    EXPECT_TRUE(std::get<ui::PickerRow>(screen().body().sections[2].rows[0]).disabled);
}

TEST_F(Screen, SliderWritesAreRoundedAndStoredOnlyWhenTheValueChanges) {
    auto& w = open();
    const auto body = screen().body();
    const auto& slider = std::get<ui::SliderRow>(body.sections[3].rows[4]);
    ASSERT_EQ(slider.title, "Head size");
    for (const auto& [position, field, posts] :
         {std::tuple{60.0, 60, 1}, {60.0, 60, 0}, {49.5, 50, 1}, {49.49, 49, 1}, {0.0, 0, 1}}) {
        const int before = world->posts;
        w.act([&] { slider.value.set(position); });
        EXPECT_EQ(screen().headSize(), field);
        EXPECT_EQ(world->posts - before, posts) << position;
        EXPECT_EQ(world->stored.at("headSizePercent"), StoredValue{std::int64_t{field}});
    }
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
    EXPECT_EQ(Messages({world->events[0], world->events[3]}),
              Messages({"set intonation", "set phrasePause"}));
    EXPECT_EQ(world->posts, 2);
}

TEST_F(Screen, FailedWritesAreShownAndAnnouncedEachTimeAndLeftShownBySuccess) {
    world->failStores = true;
    auto& w = open();
    w.act([&] { screen().wordPause.set(40); });
    w.act([&] { screen().wordPause.set(41); });
    EXPECT_EQ(screen().wordPause(), 41) << "the control keeps its value";
    w.act([&] { screen().fallbackVoiceIdentifier.set(""); }); // nothing at all
    w.act([&] { screen().fallbackVoiceIdentifier.set("m/X"); });
    world->failStores = false;
    w.act([&] { screen().voicing.set(11); });
    const std::string setting(texts::voiceSettingNotSaved), voice(texts::fallbackVoiceNotSaved);
    EXPECT_EQ(fakes.announcer.messages, Messages({setting, setting, voice}));
    EXPECT_EQ(screen().status(), voice);
    EXPECT_EQ(world->stored.at("voicing"), StoredValue{std::int64_t{11}});
}

TEST_F(Screen, VersionTextTakesEachPartFromTheBundleOrUnknown) {
    using platform::InfoValue;
    const InfoValue text{std::string("2.1")}, empty{std::string()};
    const struct {
        std::optional<InfoValue> shortVersion, build;
        std::string shown;
    } cases[] = {
        {text, InfoValue{std::string("45")}, "2.1 (45)"}, {std::nullopt, text, "Unknown (2.1)"},
        {text, InfoValue{std::int64_t{45}}, "2.1 (Unknown)"}, {empty, text, " (2.1)"},
        {InfoValue{true}, std::nullopt, "Unknown (Unknown)"},
    };
    open();
    for (const auto& c : cases) {
        fakes.bundle.values.clear();
        for (const auto& [key, value] : {std::pair{"CFBundleShortVersionString", c.shortVersion},
                                         {"CFBundleVersion", c.build}})
            if (value)
                fakes.bundle.values[key] = *value;
        EXPECT_EQ(screen().version(), c.shown);
    }
}

} // namespace
