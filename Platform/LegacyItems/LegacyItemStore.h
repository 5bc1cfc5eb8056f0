#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace virelon::platform {

/// Read-only access to secret items kept by an earlier version of the application. Nothing is
/// ever written to or deleted from the store.
class LegacyItemStore {
public:
    virtual ~LegacyItemStore() = default;

    /// The bytes of the item whose service, account and access group equal the given ones, or
    /// nothing when there is no such item or it cannot be read (no service, locked, out of time).
    virtual std::optional<std::vector<std::uint8_t>>
    lookup(std::string_view service, std::string_view accessGroup, std::string_view account) = 0;
};

/// The store of the freedesktop Secret Service. All lookups made through one store together wait
/// at most `budget` for the service; every lookup after the budget is spent finds nothing.
std::unique_ptr<LegacyItemStore> makeSecretServiceStore(std::chrono::milliseconds budget);

} // namespace virelon::platform
