#include "platform/BundleInfo.h"

#include <utility>

namespace virelon::platform {

namespace {

class BuildBundleInfo final : public BundleInfo {
public:
    BuildBundleInfo(std::string shortVersion, std::string buildVersion)
        : shortVersion_(std::move(shortVersion)), buildVersion_(std::move(buildVersion)) {}

    std::optional<InfoValue>
    objectForInfoDictionaryKey(std::string_view key) const noexcept override {
        try {
            if (key == "CFBundleShortVersionString")
                return shortVersion_;
            if (key == "CFBundleVersion")
                return buildVersion_;
        } catch (...) { // out of memory
        }
        return std::nullopt;
    }

private:
    std::string shortVersion_;
    std::string buildVersion_;
};

} // namespace

std::unique_ptr<BundleInfo> makeBuildBundleInfo(std::string shortVersion,
                                                std::string buildVersion) noexcept {
    return std::make_unique<BuildBundleInfo>(std::move(shortVersion), std::move(buildVersion));
}

} // namespace virelon::platform
