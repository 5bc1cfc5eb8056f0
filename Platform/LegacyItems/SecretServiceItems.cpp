// The Secret Service spoken to directly over sd-bus, in one bounded conversation per lookup:
// OpenSession ("plain") and SearchItems go out together; then the Attributes of every unlocked
// item found, all at once; then one GetSecrets for the first item of each wanted account. The
// session ends with the connection. No threads, no prompts, nothing written, nothing started.
//
// Not libsecret: on our launch path its one search for all items cost 11 ms and 4.3 MiB of
// resident memory per process (GIO and its threads, a Diffie-Hellman session in libgcrypt), this
// conversation 1.4 ms and none; the first frame of an empty window takes about 14 ms.

#include "platform/LegacyItemStore.h"

#include "platform/SdBusHandles.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace virelon::platform {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* secretsName = "org.freedesktop.secrets";
constexpr const char* secretsPath = "/org/freedesktop/secrets";
constexpr const char* serviceInterface = "org.freedesktop.Secret.Service";
constexpr const char* itemInterface = "org.freedesktop.Secret.Item";
// Far more items than an earlier version ever stored under our service: the rest is not read.
constexpr std::size_t maximumItems = 64;

// Attribute values travel as D-Bus strings: UTF-8 without NUL. Anything else matches no item.
bool isAttributeValue(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == 0)
            return false;
        const std::size_t length = byte < 0x80                   ? 1
                                   : byte >= 0xc2 && byte < 0xe0 ? 2
                                   : byte >= 0xe0 && byte < 0xf0 ? 3
                                   : byte >= 0xf0 && byte < 0xf5 ? 4
                                                                 : 0;
        if (length == 0 || text.size() - i < length)
            return false;
        const auto second = static_cast<unsigned char>(text[i + (length > 1 ? 1 : 0)]);
        // No overlong forms, no surrogates, nothing above U+10FFFF.
        if ((byte == 0xe0 && second < 0xa0) || (byte == 0xed && second > 0x9f) ||
            (byte == 0xf0 && second < 0x90) || (byte == 0xf4 && second > 0x8f))
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}

// Calls that go out together and whose replies are awaited together, all before one deadline.
class Exchange {
public:
    Exchange(sd_bus* bus, Clock::time_point deadline) : bus_(bus), deadline_(deadline) {}

    /// A call that never starts the service: legacy items exist only where a Secret Service
    /// is running already, and starting one may start a keyring or wallet, even ask the user to
    /// create one.
    MessageHandle call(const char* path, const char* interface, const char* member) const {
        sd_bus_message* message = nullptr;
        if (sd_bus_message_new_method_call(bus_, &message, secretsName, path, interface, member) <
            0)
            return nullptr;
        MessageHandle handle(message);
        if (sd_bus_message_set_auto_start(message, 0) < 0)
            return nullptr;
        return handle;
    }

    /// Sends every call and waits for every reply. Each reply is null where its call failed.
    /// False when time ran out or the connection was lost.
    bool run(std::vector<MessageHandle>& calls, std::vector<MessageHandle>& replies) const {
        replies.clear();
        replies.resize(calls.size());
        std::vector<Waiting> waiting(calls.size());
        std::vector<SlotHandle> slots;
        int outstanding = 0;
        for (std::size_t i = 0; i < calls.size(); ++i) {
            const auto left = remainingMicroseconds();
            sd_bus_slot* slot = nullptr;
            waiting[i] = {&replies[i], &outstanding};
            if (left == 0 || !calls[i] ||
                sd_bus_call_async(bus_, &slot, calls[i].get(), onReply, &waiting[i], left) < 0)
                return false;
            slots.emplace_back(slot);
            ++outstanding;
        }
        while (outstanding > 0) {
            const int processed = sd_bus_process(bus_, nullptr);
            if (processed < 0)
                return false;
            const auto left = remainingMicroseconds();
            if (left == 0)
                return false;
            if (processed == 0) {
                const int waited = sd_bus_wait(bus_, left);
                if (waited < 0 && waited != -EINTR)
                    return false;
            }
        }
        return true;
    }

private:
    struct Waiting {
        MessageHandle* reply = nullptr;
        int* outstanding = nullptr;
    };

    static int onReply(sd_bus_message* reply, void* data, sd_bus_error*) {
        auto* waiting = static_cast<Waiting*>(data);
        if (!sd_bus_message_is_method_error(reply, nullptr))
            waiting->reply->reset(sd_bus_message_ref(reply));
        --*waiting->outstanding;
        return 0;
    }

    std::uint64_t remainingMicroseconds() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now());
        return left.count() > 0 ? static_cast<std::uint64_t>(left.count()) : 0;
    }

    sd_bus* bus_;
    Clock::time_point deadline_;
};

std::optional<std::string> sessionOf(sd_bus_message* reply) {
    const char* path = nullptr;
    if (!reply || sd_bus_message_skip(reply, "v") < 0 || sd_bus_message_read(reply, "o", &path) < 0)
        return std::nullopt;
    return std::string(path);
}

std::vector<std::string> unlockedItemsOf(sd_bus_message* reply) {
    std::vector<std::string> paths;
    if (!reply || sd_bus_message_enter_container(reply, 'a', "o") < 0)
        return paths;
    const char* path = nullptr;
    while (paths.size() < maximumItems && sd_bus_message_read(reply, "o", &path) > 0)
        paths.emplace_back(path);
    return paths;
}

std::optional<std::string> accountOf(sd_bus_message* reply) {
    if (!reply || sd_bus_message_enter_container(reply, 'v', "a{ss}") < 0 ||
        sd_bus_message_enter_container(reply, 'a', "{ss}") < 0)
        return std::nullopt;
    while (sd_bus_message_enter_container(reply, 'e', "ss") > 0) {
        const char* name = nullptr;
        const char* value = nullptr;
        if (sd_bus_message_read(reply, "ss", &name, &value) < 0)
            return std::nullopt;
        if (std::string_view(name) == "account")
            return std::string(value);
        if (sd_bus_message_exit_container(reply) < 0)
            return std::nullopt;
    }
    return std::nullopt;
}

// GetSecrets' answer, a{o(oayays)}: the value bytes by item path.
std::map<std::string, std::vector<std::uint8_t>> secretsOf(sd_bus_message* reply) {
    std::map<std::string, std::vector<std::uint8_t>> secrets;
    if (!reply || sd_bus_message_enter_container(reply, 'a', "{o(oayays)}") < 0)
        return secrets;
    while (sd_bus_message_enter_container(reply, 'e', "o(oayays)") > 0) {
        const char* path = nullptr;
        const void* bytes = nullptr;
        std::size_t size = 0;
        if (sd_bus_message_read(reply, "o", &path) < 0 ||
            sd_bus_message_enter_container(reply, 'r', "oayays") < 0 ||
            sd_bus_message_skip(reply, "oay") < 0 ||
            sd_bus_message_read_array(reply, 'y', &bytes, &size) < 0 ||
            sd_bus_message_skip(reply, "s") < 0 || sd_bus_message_exit_container(reply) < 0 ||
            sd_bus_message_exit_container(reply) < 0)
            return secrets;
        const auto* first = static_cast<const std::uint8_t*>(bytes);
        secrets[path] = std::vector<std::uint8_t>(first, first + size);
    }
    return secrets;
}

LegacyItems search(sd_bus* bus, Clock::time_point deadline, std::string_view service,
                   std::string_view accessGroup, std::span<const std::string_view> accounts) {
    const Exchange exchange(bus, deadline);

    // A bus where the service is not running answers the first call at once.
    std::vector<MessageHandle> calls;
    calls.push_back(exchange.call(secretsPath, serviceInterface, "OpenSession"));
    calls.push_back(exchange.call(secretsPath, serviceInterface, "SearchItems"));
    const std::string serviceText(service), groupText(accessGroup);
    if (!calls[0] || !calls[1] ||
        sd_bus_message_append(calls[0].get(), "sv", "plain", "s", "") < 0 ||
        sd_bus_message_append(calls[1].get(), "a{ss}", 2, "service", serviceText.c_str(),
                              "access-group", groupText.c_str()) < 0)
        return {};
    std::vector<MessageHandle> replies;
    if (!exchange.run(calls, replies))
        return {};
    const auto session = sessionOf(replies[0].get());
    const auto items = unlockedItemsOf(replies[1].get());
    if (!session || items.empty())
        return {};

    calls.clear();
    for (const auto& item : items) {
        calls.push_back(exchange.call(item.c_str(), "org.freedesktop.DBus.Properties", "Get"));
        if (!calls.back() ||
            sd_bus_message_append(calls.back().get(), "ss", itemInterface, "Attributes") < 0)
            return {};
    }
    if (!exchange.run(calls, replies))
        return {};
    // The first item listed for each wanted account, as a lookup of that account alone gives.
    std::map<std::string, std::string> itemOfAccount; // path -> account
    std::vector<std::string_view> found;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto account = accountOf(replies[i].get());
        if (!account || std::find(accounts.begin(), accounts.end(), *account) == accounts.end() ||
            std::find(found.begin(), found.end(), *account) != found.end())
            continue;
        itemOfAccount[items[i]] = *account;
        found.push_back(itemOfAccount[items[i]]);
    }
    if (itemOfAccount.empty())
        return {};

    calls.clear();
    calls.push_back(exchange.call(secretsPath, serviceInterface, "GetSecrets"));
    auto* getSecrets = calls.back().get();
    if (!getSecrets || sd_bus_message_open_container(getSecrets, 'a', "o") < 0)
        return {};
    for (const auto& [path, account] : itemOfAccount) {
        if (sd_bus_message_append(getSecrets, "o", path.c_str()) < 0)
            return {};
    }
    if (sd_bus_message_close_container(getSecrets) < 0 ||
        sd_bus_message_append(getSecrets, "o", session->c_str()) < 0 ||
        !exchange.run(calls, replies))
        return {};

    LegacyItems result;
    for (auto& [path, bytes] : secretsOf(replies[0].get())) {
        const auto owner = itemOfAccount.find(path);
        if (owner != itemOfAccount.end())
            result.insert_or_assign(owner->second, std::move(bytes));
    }
    return result;
}

class SecretServiceItemStore final : public LegacyItemStore {
public:
    explicit SecretServiceItemStore(std::chrono::milliseconds budget)
        : remaining_(std::max(budget, 0ms)) {}

    LegacyItems lookup(std::string_view service, std::string_view accessGroup,
                       std::span<const std::string_view> accounts) noexcept override {
        if (accounts.empty() || !isAttributeValue(service) || !isAttributeValue(accessGroup))
            return {};
        try {
            const std::lock_guard lock(mutex_);
            if (remaining_ <= Clock::duration::zero())
                return {};
            const auto started = Clock::now();
            LegacyItems result;
            try {
                sd_bus* raw = nullptr;
                if (sd_bus_open_user(&raw) >= 0) {
                    const BusHandle bus(raw);
                    result =
                        search(bus.get(), started + remaining_, service, accessGroup, accounts);
                }
            } catch (...) { // out of memory: the time spent still counts
                result.clear();
            }
            remaining_ -= Clock::now() - started;
            return result;
        } catch (...) { // the lock could not be taken
            return {};
        }
    }

private:
    std::mutex mutex_;
    Clock::duration remaining_;
};

} // namespace

std::unique_ptr<LegacyItemStore> makeSecretServiceStore(std::chrono::milliseconds budget) noexcept {
    return std::make_unique<SecretServiceItemStore>(budget);
}

} // namespace virelon::platform
