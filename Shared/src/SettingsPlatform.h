#pragma once

// The platform services behind VirelonSharedSettings. Not installed and not part of the public
// API: unit tests replace the factories with fakes before the first use of the settings in their
// process (each test runs in a process of its own).

#include "PreferencesDomain.h"
#include "SettingsSignal.h"

#include <functional>
#include <memory>
#include <string_view>

namespace virelon::detail {

struct SettingsPlatform {
    std::function<std::unique_ptr<platform::PreferencesDomain>(std::string_view suiteName)>
        openDomain;
    std::function<std::unique_ptr<platform::SignalPoster>()> makePoster;
};

/// The factories in use; the real platform unless a test replaced them.
SettingsPlatform& settingsPlatform();

/// Opens the domain afresh when its file appeared, was replaced or recreated: always, or at most
/// once a second (for reads that come often).
void reopenDomainIfReplaced(bool always) noexcept;

} // namespace virelon::detail
