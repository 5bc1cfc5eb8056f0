// The move of the settings an earlier version kept in the keychain into the shared domain. Only
// the application migrates: this file is linked into the static settings library the application
// links, never into the engine library, which so carries no Secret Service client.

#include "virelon/VirelonSharedSettings.h"

#include "LegacyMigration.h"
#include "SettingsPlatform.h"
#include "virelon/DecimalInteger.h"
#include "virelon/Identifiers.h"
#include "virelon/SettingsKeys.h"
#include "virelon/StoredValueReading.h"

#include <array>
#include <span>

namespace virelon {

namespace {

// The store the migration reads and how to make it: the Secret Service unless a test replaced it.
struct LegacyStoreSlot {
    std::function<std::unique_ptr<platform::LegacyItemStore>()> make = [] {
        return platform::makeSecretServiceStore(platform::legacyLookupBudget);
    };
    std::unique_ptr<platform::LegacyItemStore> store;
};

LegacyStoreSlot& legacyStoreSlot() {
    static LegacyStoreSlot slot;
    return slot;
}

// The items the running migration read, which its steps take their values from.
const platform::LegacyItems* legacyItems = nullptr;

platform::LegacyItemStore& legacyStore() {
    auto& slot = legacyStoreSlot();
    if (!slot.store)
        slot.store = slot.make();
    return *slot.store;
}

} // namespace

void detail::useLegacyStore(std::function<std::unique_ptr<platform::LegacyItemStore>()> make) {
    auto& slot = legacyStoreSlot();
    slot.make = std::move(make);
    slot.store.reset();
}

void VirelonSharedSettings::migrateLegacySettings() noexcept {
    // The items of every key that holds no value yet, read in one search before the steps run;
    // no search at all when every key holds a value or the domain is absent.
    std::array<std::string_view, settings::voiceControls.size() + 1> accounts{};
    std::size_t wanted = 0;
    if (holdsNoValue(settings::fallbackVoiceIdentifierKey))
        accounts[wanted++] = settings::fallbackVoiceIdentifierAccount;
    for (const auto& setting : settings::voiceControls) {
        if (holdsNoValue(setting.key))
            accounts[wanted++] = setting.legacyAccount;
    }
    platform::LegacyItems items;
    if (wanted > 0) {
        try {
            // One store per process: its time budget covers the launch's whole migration.
            items =
                legacyStore().lookup(identifiers::keychainService, identifiers::keychainAccessGroup,
                                     std::span(accounts.data(), wanted));
        } catch (...) {
            return;
        }
    }
    legacyItems = &items;

    migrateString(settings::fallbackVoiceIdentifierAccount, settings::fallbackVoiceIdentifierKey);
    for (const auto& setting : settings::voiceControls)
        migrateInteger(setting.legacyAccount, setting.key);
    legacyItems = nullptr;
}

std::optional<std::string> VirelonSharedSettings::legacyString(std::string_view account) noexcept {
    if (!legacyItems)
        return std::nullopt;
    const auto found = legacyItems->find(account);
    if (found == legacyItems->end())
        return std::nullopt;
    return decodeUtf8(found->second);
}

// A key is migrated only when a read found it holding nothing: a read that failed says nothing,
// and the legacy value must not overwrite what the user may have set.
bool VirelonSharedSettings::holdsNoValue(std::string_view key) noexcept {
    auto domain = defaults();
    if (!domain)
        return false;
    const auto reading = domain->read(key);
    return !reading.failed && !reading.value;
}

// The steps take their items from the one search made before them; a key is read again only
// when its item was found, right before it is written.
void VirelonSharedSettings::migrateString(std::string_view account, std::string_view key) noexcept {
    const auto text = legacyString(account);
    if (text && holdsNoValue(key))
        defaults()->setText(key, *text);
}

void VirelonSharedSettings::migrateInteger(std::string_view account,
                                           std::string_view key) noexcept {
    const auto text = legacyString(account);
    if (!text || text->empty())
        return;
    if (const auto value = parseDecimalInteger(*text); value && holdsNoValue(key))
        defaults()->setInteger(key, clampSettingValue(*value));
}

} // namespace virelon
