// The static facade: every member works on the process's settings object (SettingsPlatform.h).

#include "virelon/VirelonSharedSettings.h"

#include "virelon/Identifiers.h"
#include "virelon/SettingsPlatform.h"

namespace virelon {

using detail::settingsCore;

void VirelonSharedSettings::reopenIfReplaced() noexcept {
    settingsCore().reopenIfReplaced(true);
}

bool VirelonSharedSettings::isStored(std::string_view key) noexcept {
    return settingsCore().isStored(key);
}

bool VirelonSharedSettings::isReadable() noexcept {
    return settingsCore().isReadable();
}

const std::string& VirelonSharedSettings::changeNotification() noexcept {
    static const std::string name{identifiers::notificationName};
    return name;
}

const std::string& VirelonSharedSettings::reloadVoicesNotification() noexcept {
    static const std::string name{identifiers::reloadVoicesName};
    return name;
}

void VirelonSharedSettings::requestVoiceReload() noexcept {
    settingsCore().post(identifiers::reloadVoicesName);
}

std::int64_t VirelonSharedSettings::value(const IntegerSetting& setting) noexcept {
    return settingsCore().value(setting);
}
std::int64_t VirelonSharedSettings::intonation() noexcept {
    return value(settings::intonation);
}
std::int64_t VirelonSharedSettings::headSize() noexcept {
    return value(settings::headSize);
}
std::int64_t VirelonSharedSettings::voicing() noexcept {
    return value(settings::voicing);
}
std::int64_t VirelonSharedSettings::wordPause() noexcept {
    return value(settings::wordPause);
}
std::int64_t VirelonSharedSettings::phrasePause() noexcept {
    return value(settings::phrasePause);
}

std::optional<std::string> VirelonSharedSettings::fallbackVoiceIdentifier() noexcept {
    return settingsCore().fallbackVoiceIdentifier();
}

VoiceSettings VirelonSharedSettings::voiceSettings() noexcept {
    return settingsCore().voiceSettings();
}

bool VirelonSharedSettings::saveSetting(std::int64_t value, std::string_view key) noexcept {
    return settingsCore().saveSetting(value, key);
}

bool VirelonSharedSettings::setFallbackVoiceIdentifier(std::string_view identifier) noexcept {
    return settingsCore().setFallbackVoiceIdentifier(identifier);
}

VirelonSharedSettings::Removal VirelonSharedSettings::removeSetting(std::string_view key) noexcept {
    return settingsCore().removeSetting(key);
}

} // namespace virelon
