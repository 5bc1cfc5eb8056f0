// The move of the settings an earlier version kept in the keychain into the shared domain. Only
// the application migrates: this file is linked into the static settings library the application
// links, never into the engine library, which so carries no Secret Service client.

#include "virelon/LegacyMigration.h"

#include "platform/Bounds.h"
#include "virelon/DecimalInteger.h"
#include "virelon/Identifiers.h"
#include "virelon/SettingsKeys.h"
#include "virelon/SettingsPlatform.h"
#include "virelon/StoredValueReading.h"

#include <array>
#include <span>

namespace virelon {

namespace {

// A key is migrated only when a read found it holding nothing: a read that failed says nothing,
// and the legacy value must not overwrite what the user may have set.
bool holdsNoValue(platform::PreferencesDomain& domain, std::string_view key) noexcept {
    const auto reading = domain.read(key);
    return !reading.failed && !reading.value;
}

// One run of the migration: its steps take their values from the items of the one search made
// before them; a key is read again only when its item was found, right before it is written.
class LegacyMigration {
public:
    LegacyMigration(platform::PreferencesDomain& domain, const platform::LegacyItems& items)
        : domain_(domain), items_(items) {}

    std::optional<std::string> legacyString(std::string_view account) const noexcept {
        const auto found = items_.find(account);
        if (found == items_.end())
            return std::nullopt;
        return decodeUtf8(found->second);
    }

    void migrateString(std::string_view account, std::string_view key) noexcept {
        const auto text = legacyString(account);
        if (text && holdsNoValue(domain_, key))
            domain_.setText(key, *text);
    }

    void migrateInteger(std::string_view account, std::string_view key) noexcept {
        const auto text = legacyString(account);
        if (!text || text->empty())
            return;
        if (const auto value = parseDecimalInteger(*text); value && holdsNoValue(domain_, key))
            domain_.setInteger(key, clampSettingValue(*value));
    }

private:
    platform::PreferencesDomain& domain_;
    const platform::LegacyItems& items_;
};

} // namespace

void migrateLegacySettings(platform::LegacyItemStore& keychain) noexcept {
    const auto domain = detail::settingsCore().domain();
    if (!domain)
        return;
    // The items of every key that holds no value yet, read in one search before the steps run;
    // no search at all when every key holds a value.
    std::array<std::string_view, settings::voiceControls.size() + 1> accounts{};
    std::size_t wanted = 0;
    if (holdsNoValue(*domain, settings::fallbackVoiceIdentifierKey))
        accounts[wanted++] = settings::fallbackVoiceIdentifierAccount;
    for (const auto& setting : settings::voiceControls) {
        if (holdsNoValue(*domain, setting.key))
            accounts[wanted++] = setting.legacyAccount;
    }
    if (wanted == 0)
        return;
    platform::LegacyItems items;
    try {
        items = keychain.lookup(identifiers::keychainService, identifiers::keychainAccessGroup,
                                std::span(accounts.data(), wanted));
    } catch (...) {
        return;
    }

    LegacyMigration migration(*domain, items);
    migration.migrateString(settings::fallbackVoiceIdentifierAccount,
                            settings::fallbackVoiceIdentifierKey);
    for (const auto& setting : settings::voiceControls)
        migration.migrateInteger(setting.legacyAccount, setting.key);
}

void migrateLegacySettings() noexcept {
    std::unique_ptr<platform::LegacyItemStore> keychain;
    try {
        keychain = platform::makeSecretServiceStore(platform::legacyLookupBudget);
    } catch (...) {
        return;
    }
    migrateLegacySettings(*keychain);
}

} // namespace virelon
