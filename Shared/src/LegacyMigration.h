#pragma once

// The keychain behind VirelonSharedSettings::migrateLegacySettings(), in the application's static
// settings library only. Not installed: unit tests replace the store with a fake.

#include "LegacyItemStore.h"

#include <chrono>
#include <functional>
#include <memory>

namespace virelon::detail {

/// How long one launch's migration may wait for the keychain in all.
inline constexpr std::chrono::milliseconds legacyLookupBudget{500};

/// Makes the store the migration reads, once per process; the Secret Service unless a test
/// replaced it before the first migration.
std::function<std::unique_ptr<platform::LegacyItemStore>()>& legacyStoreFactory();

} // namespace virelon::detail
