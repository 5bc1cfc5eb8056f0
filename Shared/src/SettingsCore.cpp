#include "virelon/SettingsPlatform.h"

#include "virelon/Identifiers.h"
#include "virelon/StoredValueReading.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>
#include <variant>
#include <vector>

#include <pthread.h>

namespace virelon::detail {

namespace {

std::int64_t settingValue(const std::optional<platform::StoredValue>& stored,
                          const IntegerSetting& setting) {
    if (!stored)
        return setting.defaultValue;
    const std::int64_t whole =
        std::visit([](const auto& value) { return integerReading(value); }, *stored);
    return clampSettingValue(whole);
}

std::optional<std::string> textValue(std::optional<platform::StoredValue> stored) {
    if (stored) {
        if (auto* text = std::get_if<std::string>(&*stored))
            return std::move(*text);
    }
    return std::nullopt;
}

} // namespace

SettingsPlatform realSettingsPlatform() {
    return {platform::openPreferencesDomain, platform::makeSessionBusPoster};
}

SettingsCore::SettingsCore(SettingsPlatform platform) noexcept : platform_(std::move(platform)) {}

void SettingsCore::openOnce() {
    if (tried_)
        return;
    tried_ = true;
    lastLook_ = std::chrono::steady_clock::now();
    domain_ = platform_.openDomain(identifiers::suiteName);
}

// Opened once; when opening fails the domain stays absent, and only reopenIfReplaced() tries again.
std::shared_ptr<platform::PreferencesDomain> SettingsCore::domain() noexcept {
    try {
        const std::lock_guard lock(mutex_);
        openOnce();
        return domain_;
    } catch (...) {
        return nullptr;
    }
}

void SettingsCore::reopenIfReplaced(bool always) noexcept {
    recheckedDomain(always);
}

// The check and the handle under one lock: the engine's snapshot read takes it once.
std::shared_ptr<platform::PreferencesDomain> SettingsCore::recheckedDomain(bool always) noexcept {
    try {
        const std::lock_guard lock(mutex_);
        if (!tried_) {
            openOnce();
            return domain_;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!always && now - lastLook_ < platform::preferencesRecheckInterval)
            return domain_;
        lastLook_ = now;
        if (domain_ && domain_->isCurrent()) {
            // An engine that reads while nobody writes keeps the file at rest.
            if (!always)
                domain_->settle();
            return domain_;
        }
        reopenLocked();
        return domain_;
    } catch (...) {
        return nullptr;
    }
}

std::int64_t SettingsCore::value(const IntegerSetting& setting) noexcept {
    const auto opened = domain();
    return opened ? settingValue(opened->value(setting.key), setting) : setting.defaultValue;
}

std::optional<std::string> SettingsCore::fallbackVoiceIdentifier() noexcept {
    const auto opened = domain();
    if (!opened)
        return std::nullopt;
    return textValue(opened->value(settings::fallbackVoiceIdentifierKey));
}

VoiceSettings SettingsCore::voiceSettings() noexcept {
    bool readable = false;
    return voiceSettings(readable);
}

VoiceSettings SettingsCore::voiceSettings(bool& readable) noexcept {
    const auto& keys = settings::allKeys;
    const auto opened = recheckedDomain(false);
    auto snapshot = opened ? opened->snapshot(keys) : std::nullopt;
    readable = snapshot.has_value();
    auto stored = snapshot ? std::move(*snapshot)
                           : std::vector<std::optional<platform::StoredValue>>(keys.size());
    std::array<std::int64_t, settings::voiceControls.size()> values{};
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = settingValue(stored[i], settings::voiceControls[i]);
    return {values[0], values[1], values[2],
            values[3], values[4], textValue(std::move(stored.back()))};
}

bool SettingsCore::isStored(std::string_view key) noexcept {
    const auto opened = domain();
    return opened && opened->value(key).has_value();
}

bool SettingsCore::isReadable() noexcept {
    const auto opened = domain();
    return opened && !opened->read(settings::fallbackVoiceIdentifierKey).failed;
}

namespace {
thread_local platform::Posted worstPost = platform::Posted::sent; // see takePostOutcome()
} // namespace

// The poster bounds each post in time and may be used from several threads: it is made under the
// once flag, and a post never holds the domain's lock.
void SettingsCore::post(std::string_view name) noexcept {
    auto outcome = platform::Posted::notSent;
    try {
        std::call_once(posterMade_, [this] { poster_ = platform_.makePoster(); });
        if (poster_)
            outcome = poster_->post(name);
    } catch (...) {
    }
    worstPost = std::max(worstPost, outcome);
}

// The old handle goes first (unless another thread still uses it): two connections of one process
// to two files at the same path share the -shm file, and closing one would drop the other's locks
// on it.
void SettingsCore::reopenLocked() {
    domain_.reset();
    domain_ = platform_.openDomain(identifiers::suiteName);
}

// A writer stores into the file now at the path: one moved, replaced or rewritten since it was
// opened (a backup put back, a file recreated) is taken up first.
std::shared_ptr<platform::PreferencesDomain> SettingsCore::writableDomain() noexcept {
    try {
        const std::lock_guard lock(mutex_);
        openOnce();
        if (domain_ && !domain_->isCurrent())
            reopenLocked();
        return domain_;
    } catch (...) {
        return nullptr;
    }
}

bool SettingsCore::finishWrite(platform::PreferencesDomain& opened) noexcept {
    if (!opened.confirmVisible())
        return false;
    post(identifiers::notificationName);
    return true;
}

bool SettingsCore::saveSetting(std::int64_t value, std::string_view key) noexcept {
    const auto opened = writableDomain();
    if (!opened || !opened->setInteger(key, clampSettingValue(value)))
        return false;
    return finishWrite(*opened);
}

bool SettingsCore::setFallbackVoiceIdentifier(std::string_view identifier) noexcept {
    const auto opened = writableDomain();
    if (!opened || !opened->setText(settings::fallbackVoiceIdentifierKey, identifier))
        return false;
    return finishWrite(*opened);
}

VirelonSharedSettings::Removal SettingsCore::removeSetting(std::string_view key) noexcept {
    using Removal = VirelonSharedSettings::Removal;
    const auto opened = writableDomain();
    if (!opened)
        return Removal::failed;
    switch (opened->remove(key)) {
    case platform::PreferencesDomain::Removal::removed:
        return finishWrite(*opened) ? Removal::removed : Removal::failed;
    case platform::PreferencesDomain::Removal::nothingStored:
        return Removal::nothingStored;
    case platform::PreferencesDomain::Removal::failed:
        break;
    }
    return Removal::failed;
}

bool SettingsCore::restore(std::span<const platform::PreferencesDomain::Change> settings) noexcept {
    try {
        std::vector<platform::PreferencesDomain::Change> changes(settings.begin(), settings.end());
        for (auto& change : changes) {
            auto* whole = change.value ? std::get_if<std::int64_t>(&*change.value) : nullptr;
            if (whole && settings::voiceControl(change.key))
                *whole = clampSettingValue(*whole);
        }
        const auto opened = writableDomain();
        return opened && opened->change(changes) && finishWrite(*opened);
    } catch (...) {
        return false;
    }
}

namespace {

// The process's settings; none in a child of a fork until it first uses them.
std::atomic<SettingsCore*> processCore{nullptr};
// The settings the process had when it forked: never used again, only their platform.
SettingsCore* beforeFork = nullptr;

// A fork's child must not use the parent's settings: their lock may have been held by a thread
// that the child does not have, and their connections belong to the parent. Abandoned (never
// closed: their connection to the bus is the parent's), they are made afresh on first use.
// Async-signal-safe.
void forgetAfterFork() noexcept {
    if (auto* core = processCore.load(std::memory_order_relaxed))
        beforeFork = core;
    processCore.store(nullptr, std::memory_order_relaxed);
}

// The settings on first use, and again on first use in a child of a fork. Threads may get here
// at once (in a child, those that the child starts): one of them puts its settings in place.
SettingsCore* madeOnFirstUse() {
    static SettingsCore real(realSettingsPlatform());
    static const int forksHandled = ::pthread_atfork(nullptr, nullptr, &forgetAfterFork);
    (void)forksHandled;
    SettingsCore* expected = nullptr;
    std::unique_ptr<SettingsCore> fresh;
    auto* made = &real;
    if (beforeFork) { // kept for the life of the process, as the ones they replace
        fresh = std::make_unique<SettingsCore>(beforeFork->platform());
        made = fresh.get();
    }
    if (!processCore.compare_exchange_strong(expected, made, std::memory_order_acq_rel))
        return expected;
    (void)fresh.release();
    return made;
}

} // namespace

SettingsCore& settingsCore() noexcept {
    // One load on every read: the settings are made again only in a child of a fork.
    if (auto* core = processCore.load(std::memory_order_acquire)) [[likely]]
        return *core;
    return *madeOnFirstUse();
}

platform::Posted takePostOutcome() noexcept {
    return std::exchange(worstPost, platform::Posted::sent);
}

void useSettingsPlatform(SettingsPlatform platform) {
    static std::vector<std::unique_ptr<SettingsCore>> kept;
    settingsCore(); // the real settings made first, so that these are not replaced by them
    kept.push_back(std::make_unique<SettingsCore>(std::move(platform)));
    processCore.store(kept.back().get(), std::memory_order_release);
}

} // namespace virelon::detail
