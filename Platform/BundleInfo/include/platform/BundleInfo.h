#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace virelon::platform {

/// A value of the application's information dictionary: of any type the build may put there.
using InfoValue = std::variant<std::string, std::int64_t, bool>;

/// The application's own information, looked up by key. Implementations never throw.
class BundleInfo {
public:
    virtual ~BundleInfo() = default;

    /// The value under the key, or nothing when the key is absent.
    virtual std::optional<InfoValue>
    objectForInfoDictionaryKey(std::string_view key) const noexcept = 0;
};

/// The information given by the build: "CFBundleShortVersionString" (the project version) and
/// "CFBundleVersion" (the build number given at configure time).
std::unique_ptr<BundleInfo> makeBuildBundleInfo(std::string shortVersion,
                                                std::string buildVersion) noexcept;

} // namespace virelon::platform
