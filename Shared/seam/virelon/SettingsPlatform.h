#pragma once

// The settings object behind the static facade VirelonSharedSettings, built from its platform
// services. Not installed and not part of the public API: the process has one, made from the real
// platform on first use; unit tests build their own from fakes, or put one in its place.

#include "platform/Bounds.h"
#include "platform/PreferencesDomain.h"
#include "platform/SettingsSignal.h"
#include "virelon/SettingsKeys.h"
#include "virelon/VirelonSharedSettings.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace virelon::detail {

/// The platform services the settings are built from.
struct SettingsPlatform {
    std::function<std::unique_ptr<platform::PreferencesDomain>(std::string_view suiteName)>
        openDomain;
    std::function<std::unique_ptr<platform::SignalPoster>()> makePoster;
};

/// The real platform: the SQLite domain and the session bus poster.
SettingsPlatform realSettingsPlatform();

/// The shared settings over one set of platform services; every operation is the one of
/// VirelonSharedSettings of the same name and keeps its promises (see there). The domain is opened
/// on first use and only reopenIfReplaced(), or a write finding its file replaced, opens it again;
/// the poster is made on the first post. May be used from several threads. Nothing here throws.
class SettingsCore {
public:
    explicit SettingsCore(SettingsPlatform platform) noexcept;

    /// The services these settings are built from.
    const SettingsPlatform& platform() const noexcept { return platform_; }

    /// The open domain, or nothing when opening failed.
    std::shared_ptr<platform::PreferencesDomain> domain() noexcept;
    /// Opens the domain afresh when its file appeared, was replaced or recreated: always, or at
    /// most once a second (for reads that come often).
    void reopenIfReplaced(bool always) noexcept;

    std::int64_t value(const IntegerSetting& setting) noexcept;
    std::optional<std::string> fallbackVoiceIdentifier() noexcept;
    VoiceSettings voiceSettings() noexcept;
    /// The same, telling whether they were read: false when they are defaults because the domain
    /// is absent or the read failed.
    VoiceSettings voiceSettings(bool& readable) noexcept;
    bool isStored(std::string_view key) noexcept;
    bool isReadable() noexcept;

    bool saveSetting(std::int64_t value, std::string_view key) noexcept;
    /// Puts back settings as a backup holds them, in one transaction with one change signal: each
    /// key's value (a voice control's clamped as saveSetting() does, the fallback voice's text as
    /// it is), or nothing to remove the stored one. All of them or, when false, none.
    bool restore(std::span<const platform::PreferencesDomain::Change> settings) noexcept;
    bool setFallbackVoiceIdentifier(std::string_view identifier) noexcept;
    VirelonSharedSettings::Removal removeSetting(std::string_view key) noexcept;
    void post(std::string_view name) noexcept;

private:
    bool finishWrite(platform::PreferencesDomain& domain) noexcept;
    std::shared_ptr<platform::PreferencesDomain> recheckedDomain(bool always) noexcept;
    std::shared_ptr<platform::PreferencesDomain> writableDomain() noexcept;
    void reopenLocked();
    void openOnce();

    SettingsPlatform platform_;
    std::mutex mutex_; ///< guards the domain handle
    bool tried_ = false;
    std::shared_ptr<platform::PreferencesDomain> domain_;
    std::chrono::steady_clock::time_point lastLook_{};
    std::once_flag posterMade_;
    std::unique_ptr<platform::SignalPoster> poster_;
};

/// The process's settings: the real platform's, made on first use, unless replaced. A child of a
/// fork gets fresh settings over the same services on its first use: it never uses the parent's
/// (their lock may be held by a thread the child does not have, their connections are the
/// parent's).
SettingsCore& settingsCore() noexcept;

/// What became of the signals that the calling thread posted through the settings (each write's
/// change signal) since it last asked: the worst of them, sent when there were none. For a caller
/// that must report whether a running engine was told (the command-line tool); the writes' own
/// results say only whether the change was stored.
platform::Posted takePostOutcome() noexcept;

/// Gives the process fresh settings over these services (tests, while no other thread uses the
/// settings). The ones they replace are kept alive for the life of the process.
void useSettingsPlatform(SettingsPlatform platform);

} // namespace virelon::detail
