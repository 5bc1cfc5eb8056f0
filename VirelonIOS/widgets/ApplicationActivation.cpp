#include "widgets/ApplicationActivation.h"

#include "platform/SessionBusConnection.h"

#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <poll.h>
#include <string_view>

namespace virelon::widgets {

namespace {

using namespace std::chrono;
using platform::MessageHandle;
constexpr const char* applicationInterface = "org.freedesktop.Application";
// The platform-data key under which a launcher passes the window system's activation token.
constexpr std::string_view activationTokenKey = "activation-token";

/// The object path of org.freedesktop.Application: the name with "." as "/" and "-" as "_".
std::string objectPath(std::string_view name) {
    std::string path(1, '/');
    path.append(name);
    std::replace(path.begin(), path.end(), '.', '/');
    std::replace(path.begin(), path.end(), '-', '_');
    return path;
}

std::uint64_t microsecondsLeft(steady_clock::time_point deadline) {
    const auto left = duration_cast<microseconds>(deadline - steady_clock::now()).count();
    return static_cast<std::uint64_t>(std::max<std::int64_t>(left, 1));
}

/// The activation token in an a{sv} of platform data; empty when there is none.
std::string activationToken(sd_bus_message* message) {
    std::string token;
    if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0)
        return token;
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(message, "s", &key) < 0)
            break;
        const char* value = nullptr;
        if (key == activationTokenKey && sd_bus_message_enter_container(message, 'v', "s") > 0) {
            if (sd_bus_message_read(message, "s", &value) > 0)
                token = value;
            sd_bus_message_exit_container(message);
        } else if (sd_bus_message_skip(message, "v") < 0) {
            break;
        }
        if (sd_bus_message_exit_container(message) < 0)
            break;
    }
    return token;
}

} // namespace

struct ApplicationActivation::Bus {
    platform::BusHandle connection;
    platform::SlotHandle object; // released before the connection
    std::string name;
    std::string path;
    // Set before the bus is first processed, which is when calls are answered.
    ApplicationActivation* owner = nullptr;

    static int onActivate(sd_bus_message* message, void* self, sd_bus_error*) {
        if (auto* owner = static_cast<Bus*>(self)->owner)
            owner->activated(activationToken(message));
        return sd_bus_reply_method_return(message, nullptr);
    }
    static int onOpen(sd_bus_message*, void*, sd_bus_error* error) {
        return sd_bus_error_set(error, SD_BUS_ERROR_NOT_SUPPORTED, "virelon-voices opens no files");
    }
    static int onActivateAction(sd_bus_message*, void*, sd_bus_error* error) {
        return sd_bus_error_set(error, SD_BUS_ERROR_NOT_SUPPORTED, "virelon-voices has no actions");
    }

    static const sd_bus_vtable* vtable() {
        static const sd_bus_vtable methods[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Activate", "a{sv}", "", onActivate, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Open", "asa{sv}", "", onOpen, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("ActivateAction", "sava{sv}", "", onActivateAction,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        return methods;
    }

    /// RequestName without queueing: true when this connection owns the name, false when
    /// another does, nothing when the bus did not answer in time or refused.
    std::optional<bool> requestName(steady_clock::time_point deadline) {
        sd_bus_message* call = nullptr;
        if (sd_bus_message_new_method_call(connection.get(), &call, "org.freedesktop.DBus",
                                           "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                           "RequestName") < 0)
            return std::nullopt;
        const MessageHandle request(call);
        constexpr std::uint32_t doNotQueue = 4;
        constexpr std::uint32_t primaryOwner = 1, exists = 3, alreadyOwner = 4;
        if (sd_bus_message_append(call, "su", name.c_str(), doNotQueue) < 0)
            return std::nullopt;
        sd_bus_message* answer = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r =
            sd_bus_call(connection.get(), call, microsecondsLeft(deadline), &error, &answer);
        sd_bus_error_free(&error);
        const MessageHandle reply(answer);
        std::uint32_t result = 0;
        if (r < 0 || sd_bus_message_read(answer, "u", &result) < 0)
            return std::nullopt;
        if (result == primaryOwner || result == alreadyOwner)
            return true;
        if (result == exists)
            return false;
        return std::nullopt;
    }

    /// Calls Activate of the name's owner with this launch's activation token; true once the
    /// owner has answered without an error.
    bool activateOwner(steady_clock::time_point deadline) {
        sd_bus_message* call = nullptr;
        if (sd_bus_message_new_method_call(connection.get(), &call, name.c_str(), path.c_str(),
                                           applicationInterface, "Activate") < 0)
            return false;
        const MessageHandle request(call);
        if (sd_bus_message_open_container(call, 'a', "{sv}") < 0)
            return false;
        const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
        if (token != nullptr && *token != '\0' &&
            sd_bus_message_append(call, "{sv}", activationTokenKey.data(), "s", token) < 0)
            return false;
        if (sd_bus_message_close_container(call) < 0)
            return false;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r =
            sd_bus_call(connection.get(), call, microsecondsLeft(deadline), &error, nullptr);
        sd_bus_error_free(&error);
        return r >= 0;
    }
};

ApplicationActivation::Claim::Claim(const std::string& name, milliseconds claimBound) {
    if (sd_bus_service_name_is_valid(name.c_str()) <= 0 || name.starts_with(':'))
        return;
    auto bus = std::make_unique<Bus>();
    bus->connection = platform::sessionbus::openSessionBus();
    if (!bus->connection)
        return;
    bus->name = name;
    bus->path = objectPath(name);
    const auto deadline = steady_clock::now() + claimBound;
    if (platform::sessionbus::settle(bus->connection.get(), deadline) !=
        platform::sessionbus::Settled::done)
        return;
    // The object is there before the name, so a call that comes right after finds it.
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_object_vtable(bus->connection.get(), &slot, bus->path.c_str(),
                                 applicationInterface, Bus::vtable(), bus.get()) < 0)
        return;
    bus->object.reset(slot);
    owned_ = bus->requestName(deadline);
    if (owned_)
        bus_ = std::move(bus);
}

ApplicationActivation::Claim::Claim(Claim&&) noexcept = default;
ApplicationActivation::Claim::~Claim() = default;

ApplicationActivation::ApplicationActivation(Claim claim, milliseconds activateBound) {
    if (!claim.owned_)
        return;
    if (*claim.owned_) {
        role_ = Role::primary;
        bus_ = std::move(claim.bus_);
        bus_->owner = this;
        return;
    }
    if (claim.bus_->activateOwner(steady_clock::now() + activateBound))
        role_ = Role::raisedOther;
}

ApplicationActivation::~ApplicationActivation() = default;

void ApplicationActivation::raiseOnActivate(QWidget& window) {
    if (role_ != Role::primary || window_ != nullptr)
        return;
    window_ = &window;
    const int fd = sd_bus_get_fd(bus_->connection.get());
    if (fd < 0)
        return;
    readable_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    writable_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    timeout_ = new QTimer(this);
    timeout_->setSingleShot(true);
    connect(readable_, &QSocketNotifier::activated, this, &ApplicationActivation::pump);
    connect(writable_, &QSocketNotifier::activated, this, &ApplicationActivation::pump);
    connect(timeout_, &QTimer::timeout, this, &ApplicationActivation::pump);
    // Calls may already wait in the connection's queue, where the socket shows nothing.
    timeout_->start(0);
}

void ApplicationActivation::pump() {
    sd_bus* bus = bus_->connection.get();
    int r = 0;
    while ((r = sd_bus_process(bus, nullptr)) > 0) {
    }
    if (r < 0) {
        // The bus went away: nobody can ask any more.
        readable_->setEnabled(false);
        writable_->setEnabled(false);
        timeout_->stop();
        return;
    }
    const int events = sd_bus_get_events(bus);
    writable_->setEnabled(events > 0 && (events & POLLOUT) != 0);
    std::uint64_t until = 0;
    if (sd_bus_get_timeout(bus, &until) < 0 || until == UINT64_MAX) {
        timeout_->stop();
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u +
                         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    const auto waitMs = until > nowUsec ? (until - nowUsec + 999) / 1000 : 0;
    timeout_->start(static_cast<int>(std::min<std::uint64_t>(waitMs, 60'000)));
}

void ApplicationActivation::activated(const std::string& activationToken) {
    if (window_ == nullptr)
        return;
    // Lets the window system hand the focus over to us on behalf of the launch that asked: Qt's
    // Wayland shell takes the token from the environment (and removes it) when the window is
    // activated. Set here, on the thread that runs the window, once the launch's threads have
    // ended; no other thread of ours reads the environment then (the voice listing took what it
    // needs when it was made).
    if (!activationToken.empty())
        qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(activationToken));
    window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

} // namespace virelon::widgets
