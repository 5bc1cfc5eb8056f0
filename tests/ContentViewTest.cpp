// The screen's state and operations, shown by a host that draws nothing, over fake services: what
// is stored, posted, shown in the status line and announced, for each thing the user does.

#include "core/ScreenTexts.h"
#include "support/FakeScreenServices.h"
#include "support/FakeSettingsPlatform.h"
#include "virelon/Identifiers.h"

#include <gtest/gtest.h>

#include <future>

using namespace virelon;
using platform::StoredValue;
using test::voice;
using Texts = std::vector<std::string>;

namespace {

// The first row of a kind that `wanted` accepts, wherever the layout puts it; null when none.
template <typename Kind, typename Wanted>
const Kind* rowOf(const ui::ScreenDescription& body, Wanted wanted) {
    for (const auto& section : body.sections)
        for (const auto& row : section.rows)
            if (const auto* found = std::get_if<Kind>(&row); found && wanted(*found))
                return found;
    return nullptr;
}

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
    StoredValue stored(const char* key) { return world->stored.at(key); }

    std::shared_ptr<test::FakeWorld> world = test::installFakeSettingsPlatform();
    test::FakeServices fakes;
    std::optional<VirelonIOSApp> app;
    std::unique_ptr<test::HeadlessWindow> window;
};

TEST_F(Screen, EachPressDuringARefreshIsQueuedAndTheScreenNeverWaitsForTheListing) {
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB")};
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    std::atomic<int> listing = 0, mostAtOnce = 0;
    fakes.voices.duringListing = [&] {
        const int atOnce = ++listing;
        mostAtOnce = std::max(mostAtOnce.load(), atOnce);
        released.wait();
        --listing;
    };
    auto& w = open();
    w.runtime.screenShown();
    w.runtime.runPending(); // the launch refresh starts and returns while its listing is held
    for (int wait = 0; listing != 1 && wait < 5000; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int press = 0; press < 3; ++press)
        w.runtime.update([&] { screen().refreshVoices(true); });
    EXPECT_EQ(listing, 1);
    EXPECT_TRUE(screen().refreshing());
    EXPECT_TRUE(screen().fallbackVoices().empty());
    EXPECT_EQ(world->reloadRequests, 1) << "the queued refresh waits for the one under way";
    release.set_value();
    w.settle();
    EXPECT_EQ(world->reloadRequests, 4) << "each press runs one refresh of its own";
    EXPECT_EQ(mostAtOnce, 1) << "listings never overlap";
    EXPECT_EQ(screen().fallbackVoiceIdentifier(), "m/Amy");
    EXPECT_EQ(fakes.announcer.messages, Texts(3, std::string(texts::voicesRefreshed)));
}

// The launch reads clamped controls, asks the engine to reload and stores the voice (posting
// twice) once per window, migrating once per process; a refresh keeps what it cannot replace and
// tells the user when asked.
TEST_F(Screen, LaunchAndRefreshKeepWhatTheyCannotReplaceAndTellTheUserWhenAsked) {
    world->stored = {{"intonation", std::int64_t{0}}, {"headSizePercent", std::int64_t{250}}};
    const auto amy = voice("m/Amy", "Amy", "en-GB"), zoe = voice("m/Zoe", "Zoe", "fr-FR"),
               amyElsewhere = voice("n/Amy", "Amy", "en-GB");
    fakes.voices.installed = {
        amy, zoe, voice(std::string(identifiers::applicationIdentifier) + "/A", "A", "en-GB")};
    open();
    EXPECT_EQ(std::vector({screen().intonation(), screen().headSize(), screen().phrasePause()}),
              std::vector<std::int64_t>({0, 100, 12}));
    EXPECT_EQ(world->posts + world->confirmations, 0) << "reading writes nothing";
    window->show();
    window->show();
    EXPECT_EQ(world->events[0], "post " + std::string(identifiers::reloadVoicesName));
    EXPECT_EQ(fakes.voices.listings, 1);
    EXPECT_EQ(stored("fallbackVoiceIdentifier"), StoredValue{std::string("m/Amy")});
    EXPECT_EQ(world->posts, 2) << "by the launch task and by the selection's observer";
    const auto lookups = world->lookups.size();
    open().show();
    EXPECT_EQ(fakes.voices.listings, 2);
    EXPECT_EQ(world->lookups.size(), lookups) << "migrated once per process";
    EXPECT_EQ(stored("headSizePercent"), StoredValue{std::int64_t{250}});
    EXPECT_TRUE(fakes.announcer.messages.empty());
    EXPECT_EQ(screen().status(), texts::ready);
    // The version's parts come from the bundle, each "Unknown" when missing or not text.
    fakes.bundle.values = {{"CFBundleVersion", platform::InfoValue{std::int64_t{45}}}};
    EXPECT_EQ(screen().version(), "Unknown (Unknown)");
    const int launched = world->posts;
    const struct {
        std::vector<platform::Voice> installed;
        std::vector<std::string> failedModules;
        bool fails;
        std::size_t listed;
        int posts;          // since the launches
        const char* chosen; // also the picker's, unless no voice at all was found
        std::string_view announced;
    } steps[] = {
        {fakes.voices.installed, {}, false, 2, 1, "m/Amy", {}}, // the same voice: stored once
        {{zoe}, {}, false, 1, 3, "m/Zoe", {}},                  // gone: the next rule's
        {{}, {}, false, 0, 3, "m/Zoe", {}},                     // no voice: the choice stays
        {{amyElsewhere}, {"m"}, false, 1, 3, "m/Zoe", {}},      // m did not answer: Zoe not gone
        {{},
         {},
         true,
         1,
         3,
         "m/Zoe", // failed: not "no voices"
         "The installed voices could not be listed. The fallback voice was kept."},
        {{}, {}, false, 0, 3, "m/Zoe", texts::voicesRefreshed}, // the user asked: said
    };
    for (const auto& step : steps) {
        fakes.voices.installed = step.installed;
        fakes.voices.failedModules = step.failedModules;
        fakes.voices.fails = step.fails;
        fakes.announcer.messages.clear();
        window->act([&] { screen().refreshVoices(!step.announced.empty()); });
        EXPECT_EQ(screen().fallbackVoices().size(), step.listed) << step.posts;
        EXPECT_EQ(world->posts - launched, step.posts);
        EXPECT_EQ(stored("fallbackVoiceIdentifier"), StoredValue{std::string(step.chosen)});
        EXPECT_EQ(fakes.announcer.messages,
                  step.announced.empty() ? Texts{} : Texts{std::string(step.announced)});
        const auto body = screen().body();
        const auto* picker = rowOf<ui::PickerRow>(
            body, [](const ui::PickerRow& row) { return row.titleKey == "Fallback Voice"; });
        ASSERT_NE(picker, nullptr);
        const auto& items = picker->items;
        const bool unknownOrListed = step.listed > 0 || step.fails || !step.failedModules.empty();
        EXPECT_EQ(std::ranges::count(items, step.chosen, &ui::PickerItem::tag), unknownOrListed);
    }
}

// Failed writes are shown and announced each time, and stay shown after a success; writes come
// after the update, in declared order, only for changed rounded values.
TEST_F(Screen, WritesComeAfterTheUpdateOnlyForChangedRoundedValuesAndFailuresAreSaid) {
    world->failStores = true;
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB")};
    auto& w = open();
    w.show();
    w.act([&] { screen().wordPause.set(40); });
    w.act([&] { screen().wordPause.set(41); });
    EXPECT_EQ(screen().wordPause(), 41) << "the control keeps its value";
    w.act([&] { screen().fallbackVoiceIdentifier.set(""); }); // does nothing at all
    world->failStores = false;
    const auto before = world->events.size();
    const int postsBefore = world->posts;
    w.act([&] {
        screen().phrasePause.set(20);
        screen().intonation.set(70);
        screen().voicing.set(1);
        screen().voicing.set(100); // back to where it was: no change
        EXPECT_EQ(world->events.size(), before) << "nothing runs inside the update";
    });
    EXPECT_EQ(Texts({world->events.at(before), world->events.at(before + 3)}),
              Texts({"set intonation", "set phrasePause"}));
    EXPECT_EQ(world->posts - postsBefore, 2);
    const std::string notSaved(texts::voiceSettingNotSaved);
    EXPECT_EQ(fakes.announcer.messages,
              Texts({std::string(texts::fallbackVoiceNotSaved), notSaved, notSaved}));
    EXPECT_EQ(fakes.announcer.statuses, fakes.announcer.messages) << "status line first";
    EXPECT_EQ(screen().status(), notSaved);
    const auto body = screen().body();
    const auto* headSize = rowOf<ui::SliderRow>(
        body, [](const ui::SliderRow& row) { return row.title == "Head size"; });
    ASSERT_NE(headSize, nullptr);
    const auto& slider = *headSize;
    for (const auto& [position, field, posts] :
         {std::tuple{60.0, 60, 1}, {60.0, 60, 0}, {49.5, 50, 1}, {49.49, 49, 1}, {0.0, 0, 1}}) {
        const int was = world->posts;
        w.act([&] { slider.value.set(position); });
        EXPECT_EQ(world->posts - was, posts) << position;
        EXPECT_EQ(stored("headSizePercent"), StoredValue{std::int64_t{field}});
    }
    // No voice was stored: none is said to be kept.
    fakes.voices.fails = true;
    w.act([&] { screen().refreshVoices(true); });
    EXPECT_EQ(fakes.announcer.messages.back(), texts::voicesNotListed);
}

} // namespace
