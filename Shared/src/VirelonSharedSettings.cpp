#include "virelon/VirelonSharedSettings.h"

#include "SettingsPlatform.h"
#include "virelon/Identifiers.h"
#include "virelon/SettingsKeys.h"
#include "virelon/StoredValueReading.h"

#include <array>
#include <chrono>
#include <mutex>
#include <variant>

namespace virelon {

namespace detail {
SettingsPlatform& settingsPlatform() {
    static SettingsPlatform platform{
        platform::openPreferencesDomain,
        platform::makeSessionBusPoster,
    };
    return platform;
}
} // namespace detail

namespace {

std::int64_t settingValue(const std::optional<platform::StoredValue>& stored,
                          const IntegerSetting& setting) {
    if (!stored)
        return setting.defaultValue;
    const std::int64_t whole =
        std::visit([](const auto& value) { return integerReading(value); }, *stored);
    return clampSettingValue(whole);
}

// The one handle of the process. The application opens it once and keeps it; long-running
// readers (the speech engine) have it opened afresh when the file appeared, was replaced or
// recreated (reopenIfReplaced()).
struct DomainHandle {
    std::mutex mutex;
    bool tried = false;
    std::shared_ptr<platform::PreferencesDomain> domain;
    std::chrono::steady_clock::time_point lastLook{};

    std::shared_ptr<platform::PreferencesDomain> get() {
        const std::lock_guard lock(mutex);
        openOnce();
        return domain;
    }

    void reopenIfReplaced(bool always) {
        const std::lock_guard lock(mutex);
        if (!tried) {
            openOnce();
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!always && now - lastLook < std::chrono::seconds(1))
            return;
        lastLook = now;
        if (domain && domain->isCurrent())
            return;
        domain = detail::settingsPlatform().openDomain(identifiers::suiteName);
    }

private:
    void openOnce() {
        if (tried)
            return;
        tried = true;
        lastLook = std::chrono::steady_clock::now();
        domain = detail::settingsPlatform().openDomain(identifiers::suiteName);
    }
};

DomainHandle& domainHandle() {
    static DomainHandle handle;
    return handle;
}

std::int64_t readSetting(const std::shared_ptr<platform::PreferencesDomain>& domain,
                         const IntegerSetting& setting) {
    if (!domain)
        return setting.defaultValue;
    return settingValue(domain->value(setting.key), setting);
}

std::optional<std::string> textValue(std::optional<platform::StoredValue> stored) {
    if (stored) {
        if (auto* text = std::get_if<std::string>(&*stored))
            return std::move(*text);
    }
    return std::nullopt;
}

platform::SignalPoster& poster() {
    static const auto instance = detail::settingsPlatform().makePoster();
    return *instance;
}

} // namespace

std::shared_ptr<platform::PreferencesDomain> VirelonSharedSettings::defaults() noexcept {
    // Opened once per process; when opening fails the domain stays absent, and only
    // reopenIfReplaced() tries again.
    try {
        return domainHandle().get();
    } catch (...) {
        return nullptr;
    }
}

void detail::reopenDomainIfReplaced(bool always) noexcept {
    try {
        domainHandle().reopenIfReplaced(always);
    } catch (...) {
    }
}

void VirelonSharedSettings::reopenIfReplaced() noexcept {
    detail::reopenDomainIfReplaced(true);
}

bool VirelonSharedSettings::isStored(std::string_view key) noexcept {
    auto domain = defaults();
    return domain && domain->value(key).has_value();
}

bool VirelonSharedSettings::isReadable() noexcept {
    auto domain = defaults();
    return domain && !domain->read(settings::fallbackVoiceIdentifierKey).failed;
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
    poster().post(reloadVoicesNotification());
}

std::int64_t VirelonSharedSettings::value(const IntegerSetting& setting) noexcept {
    return readSetting(defaults(), setting);
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
    auto domain = defaults();
    if (!domain)
        return std::nullopt;
    return textValue(domain->value(settings::fallbackVoiceIdentifierKey));
}

VoiceSettings VirelonSharedSettings::voiceSettings() noexcept {
    const auto& keys = settings::allKeys;
    detail::reopenDomainIfReplaced(false);
    auto domain = defaults();
    auto stored = domain ? domain->values(keys)
                         : std::vector<std::optional<platform::StoredValue>>(keys.size());
    std::array<std::int64_t, settings::voiceControls.size()> values{};
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = settingValue(stored[i], settings::voiceControls[i]);
    return {values[0], values[1], values[2],
            values[3], values[4], textValue(std::move(stored.back()))};
}

bool VirelonSharedSettings::finishWrite(platform::PreferencesDomain& domain) noexcept {
    if (!domain.flush())
        return false;
    poster().post(changeNotification());
    return true;
}

bool VirelonSharedSettings::saveSetting(std::int64_t value, std::string_view key) noexcept {
    auto domain = defaults();
    if (!domain || !domain->setInteger(key, clampSettingValue(value)))
        return false;
    return finishWrite(*domain);
}

bool VirelonSharedSettings::setFallbackVoiceIdentifier(std::string_view identifier) noexcept {
    auto domain = defaults();
    if (!domain || !domain->setText(settings::fallbackVoiceIdentifierKey, identifier))
        return false;
    return finishWrite(*domain);
}

VirelonSharedSettings::Removal VirelonSharedSettings::removeSetting(std::string_view key) noexcept {
    auto domain = defaults();
    if (!domain)
        return Removal::failed;
    switch (domain->remove(key)) {
    case platform::PreferencesDomain::Removal::removed:
        return finishWrite(*domain) ? Removal::removed : Removal::failed;
    case platform::PreferencesDomain::Removal::nothingStored:
        return Removal::nothingStored;
    case platform::PreferencesDomain::Removal::failed:
        break;
    }
    return Removal::failed;
}

} // namespace virelon
