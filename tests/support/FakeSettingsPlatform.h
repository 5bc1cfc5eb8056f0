#pragma once

// In-memory stand-ins for the settings' platform services, installed into the settings of the
// current test process before their first use. Each test case runs in a process of its own.

#include "LegacyMigration.h"
#include "SettingsPlatform.h"
#include "virelon/Identifiers.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace virelon::test {

/// What the fakes record, shared between the test and the services it installed.
struct FakeWorld {
    // The domain
    bool domainOpens = true;
    std::map<std::string, platform::StoredValue, std::less<>> stored;
    bool failStores = false;
    std::vector<std::string> unreadable; ///< keys whose reads fail (busy, I/O error)
    bool failFlush = false;
    int flushes = 0;
    std::vector<std::string> events; ///< "set <key>", "flush", "post <name>", in order

    // The signals
    int posts = 0;          ///< settings change signals
    int reloadRequests = 0; ///< requests that the engine reload its voices

    // The legacy items, by account
    std::map<std::string, std::vector<std::uint8_t>, std::less<>> legacyItems;
    std::vector<std::string> lookups;
    std::string lookedUpService, lookedUpAccessGroup;
};

inline std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

namespace detail {

class FakeDomain final : public platform::PreferencesDomain {
public:
    explicit FakeDomain(std::shared_ptr<FakeWorld> world) : world_(std::move(world)) {}
    Reading read(std::string_view key) override {
        const auto& failing = world_->unreadable;
        if (std::find(failing.begin(), failing.end(), key) != failing.end())
            return {true, std::nullopt};
        return {false, value(key)};
    }
    std::optional<platform::StoredValue> value(std::string_view key) override {
        const auto found = world_->stored.find(key);
        if (found == world_->stored.end())
            return std::nullopt;
        return found->second;
    }
    bool setInteger(std::string_view key, std::int64_t value) override { return store(key, value); }
    bool setText(std::string_view key, std::string_view value) override {
        return store(key, std::string(value));
    }
    Removal remove(std::string_view key) override {
        if (world_->failStores)
            return Removal::failed;
        world_->events.push_back("remove " + std::string(key));
        const auto found = world_->stored.find(key);
        if (found == world_->stored.end())
            return Removal::nothingStored;
        world_->stored.erase(found);
        return Removal::removed;
    }
    bool flush() override {
        world_->events.push_back("flush");
        ++world_->flushes;
        return !world_->failFlush;
    }

private:
    bool store(std::string_view key, platform::StoredValue value) {
        if (world_->failStores)
            return false;
        world_->events.push_back("set " + std::string(key));
        world_->stored.insert_or_assign(std::string(key), std::move(value));
        return true;
    }
    std::shared_ptr<FakeWorld> world_;
};

class FakePoster final : public platform::SignalPoster {
public:
    explicit FakePoster(std::shared_ptr<FakeWorld> world) : world_(std::move(world)) {}
    void post(std::string_view name) override {
        world_->events.push_back("post " + std::string(name));
        ++(name == identifiers::reloadVoicesName ? world_->reloadRequests : world_->posts);
    }

private:
    std::shared_ptr<FakeWorld> world_;
};

class FakeItems final : public platform::LegacyItemStore {
public:
    explicit FakeItems(std::shared_ptr<FakeWorld> world) : world_(std::move(world)) {}
    std::optional<std::vector<std::uint8_t>> lookup(std::string_view service,
                                                    std::string_view accessGroup,
                                                    std::string_view account) override {
        world_->lookups.emplace_back(account);
        world_->lookedUpService = service;
        world_->lookedUpAccessGroup = accessGroup;
        const auto found = world_->legacyItems.find(account);
        if (found == world_->legacyItems.end())
            return std::nullopt;
        return found->second;
    }

private:
    std::shared_ptr<FakeWorld> world_;
};

} // namespace detail

/// Replaces the settings' platform with fakes recording into the returned world.
inline std::shared_ptr<FakeWorld> installFakeSettingsPlatform() {
    auto world = std::make_shared<FakeWorld>();
    auto& platform = virelon::detail::settingsPlatform();
    platform.openDomain =
        [world](std::string_view) -> std::unique_ptr<platform::PreferencesDomain> {
        if (!world->domainOpens)
            return nullptr;
        return std::make_unique<detail::FakeDomain>(world);
    };
    platform.makePoster = [world] { return std::make_unique<detail::FakePoster>(world); };
    virelon::detail::legacyStoreFactory() = [world] {
        return std::make_unique<detail::FakeItems>(world);
    };
    return world;
}

} // namespace virelon::test
