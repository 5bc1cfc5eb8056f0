#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace virelon::platform {

/// A value as it lies in the domain. The application only ever stores integers and texts; the
/// other kinds can appear when another program wrote the file.
using StoredValue = std::variant<std::int64_t, double, std::string, std::vector<std::uint8_t>>;

/// A persistent key-value domain shared by the application and the speech engine, both opening it
/// by the same suite name. Implementations never throw.
class PreferencesDomain {
public:
    virtual ~PreferencesDomain() = default;

    /// The value stored under the key, or nothing when the key holds none or cannot be read.
    virtual std::optional<StoredValue> value(std::string_view key) = 0;

    /// Store under the key, replacing what was there. False when the value could not be stored.
    virtual bool setInteger(std::string_view key, std::int64_t value) = 0;
    virtual bool setText(std::string_view key, std::string_view value) = 0;

    /// Make every earlier write visible to other processes and safe from this process being
    /// killed. False when that could not be assured.
    virtual bool flush() = 0;
};

/// Opens the domain of the given suite name, creating it when it does not exist yet. Nothing when
/// its location cannot be determined or created, or the file there is not one of ours; such a file
/// is left untouched.
std::unique_ptr<PreferencesDomain> openPreferencesDomain(std::string_view suiteName);

/// Where the domain of a suite name lives; nothing when no location can be determined.
std::optional<std::string> preferencesDomainPath(std::string_view suiteName);

} // namespace virelon::platform
