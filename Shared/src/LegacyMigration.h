#pragma once

// The keychain behind VirelonSharedSettings::migrateLegacySettings(), in the application's static
// settings library only. Not installed: unit tests replace the store with a fake.

#include "LegacyItemStore.h"

#include <functional>
#include <memory>

namespace virelon::detail {

/// The migration reads one store per process, the Secret Service's, made on first use. A test
/// puts its own maker in place (and the store made so far is dropped).
void useLegacyStore(std::function<std::unique_ptr<platform::LegacyItemStore>()> make);

} // namespace virelon::detail
