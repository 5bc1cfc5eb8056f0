#pragma once

// Stand-ins for the screen's platform services, and a host that shows screens without drawing.

#include "ContentView.h"
#include "VirelonIOSApp.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace virelon::test {

/// Lists on the screen's worker thread: `duringListing`, when set, runs there first.
class FakeVoices final : public platform::SpeechVoices {
public:
    std::vector<platform::Voice> installed;
    bool fails = false;
    std::vector<std::string> failedModules;
    std::atomic<int> updates = 0;
    std::atomic<int> listings = 0;
    std::function<void()> duringListing;
    void updateSpeechVoices() override { ++updates; }
    platform::VoiceListing speechVoices() override {
        ++listings;
        if (duringListing)
            duringListing();
        if (fails)
            return {};
        return {installed, true, failedModules};
    }
};

/// Names a few languages; orders and compares by ASCII letters ignoring case.
class FakeLocale final : public platform::LocaleServices {
public:
    std::string identifier = "en_US";
    std::map<std::string, std::string, std::less<>> names = {
        {"en-GB", "English (United Kingdom)"},
        {"en-US", "English (United States)"},
        {"de-DE", "German (Germany)"},
        {"fr-FR", "French (France)"},
    };
    int identifierReads = 0;

    std::string currentIdentifier() override {
        ++identifierReads;
        return identifier;
    }
    std::optional<std::string> languageName(std::string_view tag) override {
        const auto found = names.find(tag);
        if (found == names.end())
            return std::nullopt;
        return found->second;
    }
    int standardCompare(std::string_view a, std::string_view b) override {
        return caseInsensitiveCompare(a, b);
    }
    int caseInsensitiveCompare(std::string_view a, std::string_view b) override {
        const auto lower = [](std::string_view s) {
            std::string out(s);
            std::transform(out.begin(), out.end(), out.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            return out;
        };
        return lower(a).compare(lower(b));
    }
};

class FakeBundle final : public platform::BundleInfo {
public:
    std::map<std::string, platform::InfoValue, std::less<>> values = {
        {"CFBundleShortVersionString", std::string("2.1")}, {"CFBundleVersion", std::string("45")}};
    std::optional<platform::InfoValue>
    objectForInfoDictionaryKey(std::string_view key) const override {
        const auto found = values.find(key);
        if (found == values.end())
            return std::nullopt;
        return found->second;
    }
};

/// Records each announcement together with the status line at that moment.
class RecordingAnnouncer final : public Announcer {
public:
    struct Entry {
        std::string message;
        std::string statusAtThatTime;
    };
    std::vector<Entry> entries;
    std::function<std::string()> currentStatus;
    void announce(const std::string& message) override {
        entries.push_back({message, currentStatus ? currentStatus() : std::string()});
    }
};

/// One window: its runtime and screen. show() shows it and runs the launch task; show() and act()
/// return once a refresh they started has finished.
struct HeadlessWindow {
    ui::Runtime runtime;
    std::unique_ptr<ContentView> screen;
    std::mutex mutex;
    std::condition_variable woken;
    bool queued = false;

    HeadlessWindow(const WindowGroup& group, const ScreenServices& services)
        : screen(group.content(runtime, services)) {
        runtime.setWakeUp([this] {
            const std::lock_guard lock(mutex);
            queued = true;
            woken.notify_all();
        });
    }

    void show() {
        runtime.screenShown();
        settle();
    }
    /// One user action.
    void act(const std::function<void()>& action) {
        runtime.update(action);
        settle();
    }
    /// Runs queued work, as an event loop would, until no refresh is under way (at most 10 s).
    void settle() {
        runtime.runPending();
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (screen->refreshing()) {
            std::unique_lock lock(mutex);
            if (!woken.wait_until(lock, limit, [this] { return queued; }))
                return;
            queued = false;
            lock.unlock();
            runtime.runPending();
        }
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
