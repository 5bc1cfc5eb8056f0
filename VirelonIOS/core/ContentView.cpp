#include "core/ContentView.h"

#include "catalogue/VoiceCatalogue.h"
#include "core/ScreenTexts.h"
#include "virelon/SettingsKeys.h"
#include "virelon/VirelonSharedSettings.h"

#include <algorithm>
#include <system_error>

namespace virelon {

namespace {

std::string infoText(const platform::BundleInfo& bundle, std::string_view key) {
    const auto value = bundle.objectForInfoDictionaryKey(key);
    if (value) {
        if (const auto* text = std::get_if<std::string>(&*value))
            return *text;
    }
    return "Unknown";
}

ui::LabeledRow labeled(std::string labelKey, std::string value) {
    return {std::move(labelKey), std::move(value)};
}

ui::TextRow explanation(std::string key) {
    return {std::move(key), true, false};
}

} // namespace

ContentView::ContentView(ui::Runtime& runtime, const ScreenServices& services)
    : status(runtime, std::string(texts::ready)), fallbackVoices(runtime, {}),
      fallbackVoiceIdentifier(runtime, {}),
      intonation(runtime, VirelonSharedSettings::intonation()),
      headSize(runtime, VirelonSharedSettings::headSize()),
      voicing(runtime, VirelonSharedSettings::voicing()),
      wordPause(runtime, VirelonSharedSettings::wordPause()),
      phrasePause(runtime, VirelonSharedSettings::phrasePause()),
      voiceControlFields_{&intonation, &headSize, &voicing, &wordPause, &phrasePause},
      runtime_(runtime), services_(services) {
    runtime_.setLaunchTask([this] { refreshVoices(false); });

    runtime_.observe<std::string>(fallbackVoiceIdentifier, [this](const std::string& identifier) {
        fallbackVoiceIdentifierChanged(identifier);
    });
    for (std::size_t i = 0; i < settings::voiceControls.size(); ++i) {
        runtime_.observe<std::int64_t>(
            *voiceControlFields_[i],
            [this, key = settings::voiceControls[i].key](const std::int64_t& value) {
                settingChanged(value, key);
            });
    }
}

ContentView::~ContentView() {
    if (listing_.joinable())
        listing_.join();
}

void ContentView::announce(std::string_view message) {
    status.set(std::string(message));
    services_.announcer.announce(status.get());
}

void ContentView::settingChanged(std::int64_t value, std::string_view key) {
    if (!VirelonSharedSettings::saveSetting(value, key))
        announce(texts::voiceSettingNotSaved);
}

void ContentView::fallbackVoiceIdentifierChanged(const std::string& identifier) {
    if (identifier.empty())
        return;
    if (!VirelonSharedSettings::setFallbackVoiceIdentifier(identifier))
        announce(texts::fallbackVoiceNotSaved);
}

void ContentView::refreshVoices(bool announceResult) {
    if (refreshing_) {
        queuedRefreshes_.push_back(announceResult);
        return;
    }
    refreshing_ = true;
    // The engine re-scans its own voices; our listing does not wait for it.
    services_.voices.updateSpeechVoices();
    listVoicesInBackground(announceResult);
}

void ContentView::listVoicesInBackground(bool announceResult) {
    // The worker only lists; the result comes back to this thread as queued work, which finds the
    // screen gone when it was closed meanwhile.
    auto handBack = [this, alive = std::weak_ptr(alive_), announceResult](VoiceListing listed) {
        runtime_.post([this, alive, announceResult, listed = std::move(listed)]() mutable {
            if (alive.expired())
                return;
            runtime_.update([&] { finishRefresh(std::move(listed), announceResult); });
            refreshing_ = false;
            if (!queuedRefreshes_.empty()) {
                const bool announceNext = queuedRefreshes_.front();
                queuedRefreshes_.pop_front();
                refreshVoices(announceNext);
            }
        });
    };
    if (listing_.joinable())
        listing_.join(); // the previous listing has handed its result back already
    try {
        listing_ = std::thread([this, handBack] { handBack(services_.voices.speechVoices()); });
    } catch (const std::system_error&) {
        // No thread to be had: list here. The screen waits for the listing, but the refresh ends.
        handBack(services_.voices.speechVoices());
    }
}

void ContentView::completeRefresh() {
    queuedRefreshes_.clear();
    // The listing's result comes back as queued work, run here rather than by the event loop.
    while (refreshing_) {
        if (listing_.joinable())
            listing_.join();
        runtime_.runPending();
    }
}

void ContentView::finishRefresh(VoiceListing listed, bool announceResult) {
    const auto stored = VirelonSharedSettings::fallbackVoiceIdentifier();
    const bool voiceStored = stored && !stored->empty();
    // A listing that failed says nothing about the installed voices: the list and the stored
    // choice stay as they are.
    if (!listed.succeeded) {
        if (!voiceStored) {
            announce(texts::voicesNotListed);
            return;
        }
        keepUnlistedVoice(*stored);
        announce(std::string(texts::voicesNotListed) + " " + std::string(texts::fallbackVoiceKept));
        return;
    }
    // The stored voice's module did not answer: its voice is unknown, not gone, and stays chosen.
    const bool storedUnknown =
        voiceStored && catalogue::isVoiceOfModules(*stored, listed.failedModules);
    if (storedUnknown)
        keepUnlistedVoice(*stored);
    else
        unlistedVoice_.reset();
    fallbackVoices.set(catalogue::fallbackVoices(std::move(listed.voices), services_.locale));

    if (const auto* chosen = storedUnknown ? nullptr
                                           : catalogue::chooseFallbackVoice(
                                                 fallbackVoices.get(), stored, services_.locale)) {
        const std::string identifier = chosen->identifier;
        fallbackVoiceIdentifier.set(identifier);
        VirelonSharedSettings::setFallbackVoiceIdentifier(identifier);
    }

    if (announceResult)
        announce(texts::voicesRefreshed);
}

void ContentView::keepUnlistedVoice(const std::string& identifier) {
    // The best name known: the one it had in the list so far, else the name in its identifier.
    const auto& voices = fallbackVoices.get();
    const auto listed = std::find_if(voices.begin(), voices.end(), [&](const auto& voice) {
        return voice.identifier == identifier;
    });
    if (listed != voices.end())
        unlistedVoice_ = ui::PickerItem{identifier, voiceName(*listed)};
    else if (!unlistedVoice_ || unlistedVoice_->tag != identifier)
        unlistedVoice_ =
            ui::PickerItem{identifier, std::string(catalogue::voiceNameIn(identifier))};
    fallbackVoiceIdentifier.set(identifier);
}

std::string ContentView::voiceName(const platform::Voice& voice) {
    return catalogue::displayName(voice, services_.locale);
}

std::string ContentView::version() const {
    return infoText(services_.bundle, "CFBundleShortVersionString") + " (" +
           infoText(services_.bundle, "CFBundleVersion") + ")";
}

ui::SliderRow ContentView::settingSlider(std::string title, ui::State<std::int64_t>& value) {
    ui::SliderRow row;
    row.title = std::move(title);
    row.value = {[&value] { return static_cast<double>(value.get()); },
                 [&value](double position) { value.set(ui::roundHalfAwayFromZero(position)); }};
    row.accessibilityValueKey = "%lld percent";
    row.accessibilityValueArgument = value.get();
    return row;
}

ui::ScreenDescription ContentView::body() {
    ui::ScreenDescription screen;
    screen.navigationTitleKey = "Virelon";

    screen.sections.push_back({"Status",
                               {labeled("Engine", "Ready"), labeled("Languages", "25"),
                                labeled("Voices", "52"), labeled("Processing", "On device")}});

    screen.sections.push_back(
        {"VoiceOver",
         {ui::ButtonRow{"Refresh Virelon Voices", [this] { refreshVoices(true); }},
          ui::TextRow{status.get(), false, true}}});

    ui::PickerRow picker;
    picker.titleKey = "Fallback Voice";
    for (const auto& voice : fallbackVoices.get())
        picker.items.push_back({voice.identifier, voiceName(voice)});
    // The chosen voice, not in the list (a failed listing keeps the list it had).
    if (unlistedVoice_ && unlistedVoice_->tag == fallbackVoiceIdentifier.get() &&
        std::none_of(picker.items.begin(), picker.items.end(),
                     [&](const auto& item) { return item.tag == unlistedVoice_->tag; }))
        picker.items.push_back(*unlistedVoice_);
    picker.selection = fallbackVoiceIdentifier.binding();
    picker.disabled = fallbackVoices.get().empty();
    screen.sections.push_back(
        {"Fallback",
         {std::move(picker),
          explanation("This voice is used only if Virelon cannot produce speech.")}});

    ui::Section controls{"Voice Controls",
                         {labeled("Rate", "VoiceOver"), labeled("Pitch", "VoiceOver"),
                          labeled("Volume", "VoiceOver")}};
    for (std::size_t i = 0; i < settings::voiceControls.size(); ++i)
        controls.rows.push_back(settingSlider(std::string(settings::voiceControls[i].sliderTitle),
                                              *voiceControlFields_[i]));
    controls.rows.push_back(
        explanation("Changes apply to the next spoken utterance. Word and phrase pause are "
                    "percentages of Virelon's supported pause ranges."));
    screen.sections.push_back(std::move(controls));

    screen.sections.push_back(
        {"About", {labeled("Speech engine", "Virelon"), labeled("Version", version())}});
    return screen;
}

} // namespace virelon
