#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace virelon::platform {

/// The bytes of legacy items, by account.
using LegacyItems = std::map<std::string, std::vector<std::uint8_t>, std::less<>>;

/// Read-only access to secret items kept by an earlier version of the application. Nothing is
/// ever written to or deleted from the store.
class LegacyItemStore {
public:
    virtual ~LegacyItemStore() = default;

    /// For each of `accounts`, the bytes of the item whose service, access group and account equal
    /// the given ones, read together in one search. An account with no such item, or one that
    /// cannot be read (no service, locked, out of time), is left out.
    virtual LegacyItems lookup(std::string_view service, std::string_view accessGroup,
                               std::span<const std::string_view> accounts) noexcept = 0;
};

/// The store of the freedesktop Secret Service. All lookups made through one store together wait
/// at most `budget` for the service; every lookup after the budget is spent finds nothing.
std::unique_ptr<LegacyItemStore> makeSecretServiceStore(std::chrono::milliseconds budget) noexcept;

} // namespace virelon::platform
