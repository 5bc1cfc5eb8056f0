// Lookups use libsecret's asynchronous API on a main context of the store's own, iterated here
// until the answer comes or the budget runs out; then the call is cancelled and its end awaited,
// so that nothing of it outlives the lookup.

#include "Bounds.h"
#include "LegacyItemStore.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <mutex>
#include <string>

namespace virelon::platform {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds cancellationGrace = legacyCancellationGrace;

// Items are matched on these three attributes alone, whatever schema stored them: items written
// by other programs carry no xdg:schema attribute, or a different one.
const SecretSchema& legacyItemSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.virelon.voices.LegacyItem";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {"access-group", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return schema;
}

struct ValueRelease {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueRelease>;

struct ObjectRelease {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using CancellablePtr = std::unique_ptr<GCancellable, ObjectRelease>;

// Callbacks of the calls started while this is alive are delivered to `context` only, so they
// run while we iterate it and never in the application's own main loop.
class ThreadDefaultContext {
public:
    explicit ThreadDefaultContext(GMainContext* context) : context_(context) {
        g_main_context_push_thread_default(context_);
    }
    ~ThreadDefaultContext() { g_main_context_pop_thread_default(context_); }
    ThreadDefaultContext(const ThreadDefaultContext&) = delete;
    ThreadDefaultContext& operator=(const ThreadDefaultContext&) = delete;

private:
    GMainContext* context_;
};

// One lookup in flight. Owned by the caller, unless the caller gave up on a call that ignored its
// cancellation: then the callback frees it, should it ever run.
struct PendingLookup {
    bool finished = false;
    bool abandoned = false;
    SecretValue* value = nullptr;
};

void onLookupFinished(GObject*, GAsyncResult* result, gpointer data) {
    auto* pending = static_cast<PendingLookup*>(data);
    // Every error (no service, locked, cancelled) means "not found".
    pending->value = secret_password_lookup_binary_finish(result, nullptr);
    pending->finished = true;
    if (pending->abandoned) {
        if (pending->value)
            secret_value_unref(pending->value);
        delete pending;
    }
}

gboolean raiseFlag(gpointer flag) {
    *static_cast<bool*>(flag) = true;
    return G_SOURCE_REMOVE;
}

// Runs `context` until `done` is set or `limit` has passed; true when `done` was set.
bool iterateUntil(GMainContext* context, const bool& done, std::chrono::milliseconds limit) {
    bool timedOut = false;
    GSource* timer = g_timeout_source_new(static_cast<guint>(limit.count()));
    g_source_set_callback(timer, raiseFlag, &timedOut, nullptr);
    g_source_attach(timer, context);
    while (!done && !timedOut)
        g_main_context_iteration(context, TRUE);
    g_source_destroy(timer);
    g_source_unref(timer);
    return done;
}

// Attribute values travel as D-Bus strings: UTF-8 without NUL. Anything else matches no item
// (and libsecret would refuse it without ever answering).
bool isAttributeValue(std::string_view text) {
    return text.empty() || g_utf8_validate_len(text.data(), text.size(), nullptr);
}

// Without a session bus address GLib would launch a bus through X11 (dbus-launch --autolaunch),
// synchronously and beyond any time bound. A freshly launched bus has no unlocked keyring to
// offer, so there is nothing to find without one.
bool sessionBusConfigured() {
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address)
        return true;
    gchar* socket = g_build_filename(g_get_user_runtime_dir(), "bus", nullptr);
    const bool exists = g_file_test(socket, G_FILE_TEST_EXISTS);
    g_free(socket);
    return exists;
}

class SecretServiceItemStore final : public LegacyItemStore {
public:
    explicit SecretServiceItemStore(std::chrono::milliseconds budget)
        : remaining_(std::max(budget, 0ms)), context_(g_main_context_new()) {}
    ~SecretServiceItemStore() override { g_main_context_unref(context_); }
    SecretServiceItemStore(const SecretServiceItemStore&) = delete;
    SecretServiceItemStore& operator=(const SecretServiceItemStore&) = delete;

    std::optional<std::vector<std::uint8_t>> lookup(std::string_view service,
                                                    std::string_view accessGroup,
                                                    std::string_view account) noexcept override {
        if (!isAttributeValue(service) || !isAttributeValue(accessGroup) ||
            !isAttributeValue(account) || !sessionBusConfigured())
            return std::nullopt;

        const std::lock_guard lock(mutex_);
        const auto limit = std::chrono::floor<std::chrono::milliseconds>(remaining_);
        if (limit <= 0ms)
            return std::nullopt;
        const auto started = std::chrono::steady_clock::now();
        const ValuePtr value =
            fetch(std::string(service), std::string(accessGroup), std::string(account), limit);
        remaining_ -= std::chrono::steady_clock::now() - started;
        if (!value)
            return std::nullopt;

        gsize length = 0;
        const auto* bytes =
            reinterpret_cast<const std::uint8_t*>(secret_value_get(value.get(), &length));
        return std::vector<std::uint8_t>(bytes, bytes + length);
    }

private:
    ValuePtr fetch(const std::string& service, const std::string& accessGroup,
                   const std::string& account, std::chrono::milliseconds limit) {
        const ThreadDefaultContext scope(context_);
        const CancellablePtr cancellable(g_cancellable_new());
        auto* pending = new PendingLookup;
        secret_password_lookup(&legacyItemSchema(), cancellable.get(), onLookupFinished, pending,
                               "service", service.c_str(), "account", account.c_str(),
                               "access-group", accessGroup.c_str(), nullptr);
        if (!iterateUntil(context_, pending->finished, limit)) {
            g_cancellable_cancel(cancellable.get());
            if (!iterateUntil(context_, pending->finished, cancellationGrace)) {
                pending->abandoned = true;
                return nullptr;
            }
        }
        ValuePtr value(pending->value);
        delete pending;
        return value;
    }

    std::mutex mutex_;
    std::chrono::steady_clock::duration remaining_;
    GMainContext* context_;
};

} // namespace

std::unique_ptr<LegacyItemStore> makeSecretServiceStore(std::chrono::milliseconds budget) {
    return std::make_unique<SecretServiceItemStore>(budget);
}

} // namespace virelon::platform
