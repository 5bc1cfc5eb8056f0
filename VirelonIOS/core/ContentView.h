#pragma once

#include "core/Announcer.h"
#include "core/ScreenDescription.h"
#include "platform/BundleInfo.h"
#include "platform/LocaleServices.h"
#include "platform/SpeechVoices.h"
#include "runtime/Runtime.h"
#include "virelon/SettingsKeys.h"

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace virelon {

/// What a screen needs of the platform. Owned by the host; outlives every screen.
struct ScreenServices {
    platform::SpeechVoices& voices;
    platform::LocaleServices& locale;
    const platform::BundleInfo& bundle;
    Announcer& announcer;
};

/// The settings screen: its state, its operations and its description. Everything runs on the
/// main thread, except a refresh's voice listing, which runs on a worker thread of the screen's
/// own and touches nothing but the speech voices; the runtime owns the updates.
class ContentView {
public:
    /// Creates the fields in their fixed order (reading the five voice controls from the shared
    /// settings) and attaches the launch task and the six change observers. Writes nothing.
    ContentView(ui::Runtime& runtime, const ScreenServices& services);
    ContentView(const ContentView&) = delete;
    ContentView& operator=(const ContentView&) = delete;
    /// Waits for a listing still under way; its result is dropped (see completeRefresh()).
    ~ContentView();

    ui::State<std::string> status;
    ui::State<std::vector<platform::Voice>> fallbackVoices;
    ui::State<std::string> fallbackVoiceIdentifier;
    ui::State<std::int64_t> intonation;
    ui::State<std::int64_t> headSize;
    ui::State<std::int64_t> voicing;
    ui::State<std::int64_t> wordPause;
    ui::State<std::int64_t> phrasePause;

    /// The screen's description, built from the current state.
    ui::ScreenDescription body();

    /// Asks the engine to reload its voices, rebuilds the fallback list, chooses and stores a
    /// fallback voice, and with `announceResult` announces that it is done. The reload is
    /// requested at once; the listing, which may wait on the speech server, runs on a worker
    /// thread, and everything after it runs in one update on this thread once the listing is
    /// complete. A call while a refresh is under way is queued: each call runs one refresh, to its
    /// end, in the order of the calls; refreshes never overlap.
    void refreshVoices(bool announceResult);

    /// Lets the refresh under way run to its end here, as if the screen stayed: it waits for the
    /// listing (bounded by the listing's own bound), then stores the chosen voice and posts the
    /// change. Refreshes queued behind it are dropped. For a screen about to go.
    void completeRefresh();

    /// Whether a refresh is under way: requested, its listing not yet handed back.
    bool refreshing() const { return refreshing_; }

    /// Change handlers of the voice controls and of the fallback voice.
    void settingChanged(std::int64_t value, std::string_view key);
    void fallbackVoiceIdentifierChanged(const std::string& identifier);

    /// The language name, ", " and the voice name.
    std::string voiceName(const platform::Voice& voice);

    /// "<short version> (<build version>)", "Unknown" for a part that is missing or not text.
    std::string version() const;

private:
    using VoiceListing = platform::VoiceListing;

    ui::SliderRow settingSlider(std::string title, ui::State<std::int64_t>& value);
    void announce(std::string_view message);
    void listVoicesInBackground(bool announceResult);
    void finishRefresh(VoiceListing listed, bool announceResult);
    void keepUnlistedVoice(const std::string& identifier);

    /// The fields of the voice controls, in the order of the settings table.
    const std::array<ui::State<std::int64_t>*, settings::voiceControls.size()> voiceControlFields_;
    ui::Runtime& runtime_;
    ScreenServices services_;
    bool refreshing_ = false;
    /// The stored voice while the last refresh could not list it (its module did not answer),
    /// by the best name known: the picker shows it as chosen all the same.
    std::optional<ui::PickerItem> unlistedVoice_;
    std::deque<bool> queuedRefreshes_; ///< the announce flags of the refreshes queued behind
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
    std::thread listing_; ///< last, so that it is joined before anything else goes
};

} // namespace virelon
