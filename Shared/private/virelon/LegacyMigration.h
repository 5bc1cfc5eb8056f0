#pragma once

// The move of the settings an earlier version kept in the keychain into the shared domain. The
// application's alone: in its static settings library, never in the engine library, which so
// carries no keychain client. Not installed.

#include "platform/LegacyItemStore.h"

namespace virelon {

/// Copies the items an earlier version kept in `keychain` into the shared domain, for keys that
/// hold no value yet, all read in one lookup (none when every key holds a value or the domain is
/// absent). Silent in every failure; flushes nothing and posts nothing.
void migrateLegacySettings(platform::LegacyItemStore& keychain) noexcept;

/// The launch's migration: from the Secret Service, waited for at most legacyLookupBudget.
void migrateLegacySettings() noexcept;

} // namespace virelon
