#pragma once

// In-memory stand-ins for the settings' platform services, recording into one FakeWorld.
// installFakeSettingsPlatform() gives the process fresh settings over them for each test.

#include "platform/LegacyItemStore.h"
#include "virelon/Identifiers.h"
#include "virelon/SettingsPlatform.h"

#include <algorithm>
#include <map>

namespace virelon::test {

// opened: the suite names of the domains opened or tried; unreadable: keys whose reads fail (busy,
// an I/O error); events: "set <key>", "remove <key>", "confirm", "post <name>" in order; lookups:
// the accounts looked up; legacyItems: the items of our keychain service and group, by account.
struct FakeWorld {
    bool domainOpens = true, failStores = false, failConfirm = false;
    std::vector<std::string> opened, unreadable, events, lookups;
    std::map<std::string, platform::StoredValue, std::less<>> stored;
    int confirmations = 0, posts = 0, reloadRequests = 0;
    std::map<std::string, std::vector<std::uint8_t>, std::less<>> legacyItems;
    int searches = 0;
};

inline std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

/// The domain, the poster and the keychain of one world.
struct FakePlatform final : platform::PreferencesDomain,
                            platform::SignalPoster,
                            platform::LegacyItemStore {
    std::shared_ptr<FakeWorld> w;
    explicit FakePlatform(std::shared_ptr<FakeWorld> world) : w(std::move(world)) {}
    Reading
    read(std::string_view key) noexcept override { // a failed read's value is never looked at
        return {std::count(w->unreadable.begin(), w->unreadable.end(), key) > 0, value(key)};
    }
    std::optional<platform::StoredValue> value(std::string_view key) noexcept override {
        const auto found = w->stored.find(key);
        return found == w->stored.end() ? std::nullopt : std::optional(found->second);
    }
    bool setInteger(std::string_view key, std::int64_t value) noexcept override {
        return set(key, value);
    }
    bool setText(std::string_view key, std::string_view text) noexcept override {
        return set(key, std::string(text));
    }
    bool set(std::string_view key, platform::StoredValue value) {
        if (w->failStores)
            return false;
        w->events.push_back("set " + std::string(key));
        w->stored.insert_or_assign(std::string(key), std::move(value));
        return true;
    }
    Removal remove(std::string_view key) noexcept override {
        if (w->failStores)
            return Removal::failed;
        w->events.push_back("remove " + std::string(key));
        return w->stored.erase(std::string(key)) ? Removal::removed : Removal::nothingStored;
    }
    bool confirmVisible() noexcept override {
        w->events.push_back("confirm");
        ++w->confirmations;
        return !w->failConfirm;
    }
    platform::Posted post(std::string_view name) noexcept override {
        w->events.push_back("post " + std::string(name));
        if (name == identifiers::reloadVoicesName)
            ++w->reloadRequests;
        else
            ++w->posts;
        return platform::Posted::sent;
    }
    platform::LegacyItems lookup(std::string_view service, std::string_view group,
                                 std::span<const std::string_view> accounts) noexcept override {
        ++w->searches;
        platform::LegacyItems found;
        for (const auto account : accounts) {
            w->lookups.emplace_back(account);
            const auto item = w->legacyItems.find(account);
            if (service == identifiers::keychainService &&
                group == identifiers::keychainAccessGroup && item != w->legacyItems.end())
                found.insert_or_assign(std::string(account), item->second);
        }
        return found;
    }
};

/// The platform services of a settings object, all recording into the world.
inline detail::SettingsPlatform fakeSettingsPlatform(const std::shared_ptr<FakeWorld>& world) {
    return {[world](std::string_view suite) -> std::unique_ptr<platform::PreferencesDomain> {
                world->opened.emplace_back(suite);
                return world->domainOpens ? std::make_unique<FakePlatform>(world) : nullptr;
            },
            [world] { return std::make_unique<FakePlatform>(world); }};
}

/// Gives the process fresh settings over the fakes of a new world.
inline std::shared_ptr<FakeWorld> installFakeSettingsPlatform() {
    auto world = std::make_shared<FakeWorld>();
    detail::useSettingsPlatform(fakeSettingsPlatform(world));
    return world;
}

} // namespace virelon::test
