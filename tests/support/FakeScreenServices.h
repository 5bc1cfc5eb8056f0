#pragma once

// Stand-ins for the screen's platform services, and a host that shows screens without drawing.

#include "core/ContentView.h"
#include "core/VirelonIOSApp.h"
#include "virelon/VirelonSharedSettings.h"

#include <atomic>
#include <functional>
#include <map>
#include <strings.h>
#include <thread>

namespace virelon::test {

/// Lists on the screen's worker thread: `duringListing`, when set, runs there first. Asks for a
/// reload as the application's adapter does, through the settings (counted by their fakes).
struct FakeVoices final : platform::SpeechVoices {
    std::vector<platform::Voice> installed;
    std::vector<std::string> failedModules;
    bool fails = false;
    std::atomic<int> listings = 0;
    std::function<void()> duringListing;
    void updateSpeechVoices() noexcept override { VirelonSharedSettings::requestVoiceReload(); }
    platform::VoiceListing speechVoices() noexcept override {
        ++listings;
        if (duringListing)
            duringListing();
        return fails ? platform::VoiceListing{}
                     : platform::VoiceListing{installed, true, failedModules};
    }
};

/// Names a few languages; orders and compares by ASCII letters ignoring case.
struct FakeLocale final : platform::LocaleServices {
    std::string identifier = "en_US";
    std::map<std::string, std::string, std::less<>> names = {{"en-GB", "English (United Kingdom)"},
                                                             {"en-US", "English (United States)"},
                                                             {"de-DE", "German (Germany)"},
                                                             {"fr-FR", "French (France)"}};
    std::string currentIdentifier() noexcept override { return identifier; }
    std::optional<std::string> languageName(std::string_view tag) noexcept override {
        const auto found = names.find(tag);
        return found == names.end() ? std::nullopt : std::optional(found->second);
    }
    int standardCompare(std::string_view a, std::string_view b) noexcept override {
        return caseInsensitiveCompare(a, b);
    }
    int caseInsensitiveCompare(std::string_view a, std::string_view b) noexcept override {
        return ::strcasecmp(std::string(a).c_str(), std::string(b).c_str());
    }
};

struct FakeBundle final : platform::BundleInfo {
    std::map<std::string, platform::InfoValue, std::less<>> values = {
        {"CFBundleShortVersionString", std::string("2.1")}, {"CFBundleVersion", std::string("45")}};
    std::optional<platform::InfoValue>
    objectForInfoDictionaryKey(std::string_view key) const noexcept override {
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
};

/// Records each announcement and the status line at that moment.
struct RecordingAnnouncer final : Announcer {
    std::vector<std::string> messages, statuses;
    std::function<std::string()> currentStatus = [] { return std::string(); };
    void announce(const std::string& message) noexcept override {
        messages.push_back(message);
        statuses.push_back(currentStatus());
    }
};

/// One window: its runtime and screen. show() and act() return once a refresh they started ends.
struct HeadlessWindow {
    ui::Runtime runtime;
    std::unique_ptr<ContentView> screen;
    HeadlessWindow(const WindowGroup& group, const ScreenServices& services)
        : screen(group.content(runtime, services)) {}
    void show() { act({}); }
    void act(const std::function<void()>& action) {
        action ? runtime.update(action) : runtime.screenShown();
        settle();
    }
    /// Runs queued work, as an event loop would, until no refresh is under way (at most 10 s).
    void settle() {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (runtime.runPending(),
               screen->refreshing() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

/// The platform services of one test, owned together.
struct FakeServices {
    FakeVoices voices;
    FakeLocale locale;
    FakeBundle bundle;
    RecordingAnnouncer announcer;
    ScreenServices services{voices, locale, bundle, announcer};
};

inline platform::Voice voice(std::string identifier, std::string name, std::string language) {
    return {std::move(identifier), std::move(name), std::move(language)};
}

} // namespace virelon::test
