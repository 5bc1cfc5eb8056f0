// The settings signal on a real session bus: the private bus of scripts/test-env.sh, a dbus-daemon
// started here to be restarted, and a socket that accepts connections and never answers. Receipts
// are counted in another process, which also records what actually travelled on the bus.

#include "SettingsSignal.h"
#include "ScratchHome.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace virelon::platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kName = "org.virelon.voices.ios.settingsChanged";

std::uint64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

void writeLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    // Short lines on a pipe are written whole.
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        ::_exit(3);
}

// What the watching process saw: a library observer's callback ("observed", with the index of its
// name), or any signal on the bus as a raw match sees it ("signal").
struct Report {
    std::string kind;
    std::size_t index = 0;
    std::string path, interface, member, signature;
    std::uint64_t receivedNs = 0;
};

Report parseReport(const std::string& line) {
    std::istringstream in(line);
    Report report;
    in >> report.kind;
    if (report.kind == "observed") {
        in >> report.index;
    } else if (report.kind == "signal") {
        in >> report.path >> report.interface >> report.member >> report.signature;
        // The signature is written in brackets so that an empty one still takes a field.
        report.signature = report.signature.substr(1, report.signature.size() - 2);
    }
    in >> report.receivedNs;
    return report;
}

// A second process that subscribes through observeSessionBusSignal() to each of its names and
// reports every receipt on a pipe, with its CLOCK_MONOTONIC time. Ready only once every match is
// installed. It stops when the test closes the control pipe.
class Watcher {
public:
    explicit Watcher(std::vector<std::string> names) {
        int reports[2];
        int control[2];
        if (::pipe(reports) != 0 || ::pipe(control) != 0)
            std::abort();
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ < 0)
            std::abort();
        if (pid_ == 0) {
            ::close(reports[0]);
            ::close(control[1]);
            ::_exit(run(names, reports[1], control[0]));
        }
        ::close(reports[1]);
        ::close(control[0]);
        reports_ = reports[0];
        control_ = control[1];
        const auto first = nextLine(10s);
        ready_ = first && *first == "ready";
    }

    ~Watcher() {
        ::close(control_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(reports_);
    }

    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    bool ready() const { return ready_; }

    std::optional<Report> next(std::chrono::milliseconds timeout) {
        const auto line = nextLine(timeout);
        if (!line)
            return std::nullopt;
        return parseReport(*line);
    }

    // Waits for `expected` reports, then for a while longer so that a duplicate would show.
    std::vector<Report> collect(std::size_t expected) {
        std::vector<Report> reports;
        while (reports.size() < expected) {
            auto report = next(5s);
            if (!report)
                return reports;
            reports.push_back(std::move(*report));
        }
        while (auto extra = next(200ms))
            reports.push_back(std::move(*extra));
        return reports;
    }

private:
    static int run(const std::vector<std::string>& names, int reports, int control) {
        std::vector<std::unique_ptr<SignalObserver>> observers;
        for (std::size_t i = 0; i < names.size(); ++i) {
            auto observer = observeSessionBusSignal(names[i], [reports, i] {
                writeLine(reports,
                          "observed " + std::to_string(i) + " " + std::to_string(monotonicNs()));
            });
            if (!observer) {
                writeLine(reports, "no-observer");
                return 1;
            }
            observers.push_back(std::move(observer));
        }

        // A raw match on every signal shows what went over the wire, and that nothing else did.
        sd_bus* raw = nullptr;
        if (sd_bus_open_user(&raw) < 0 ||
            sd_bus_add_match(raw, nullptr, "type='signal'", &onRawSignal, &reports) < 0) {
            writeLine(reports, "no-raw-match");
            return 1;
        }

        writeLine(reports, "ready");
        for (;;) {
            std::vector<pollfd> fds{{control, POLLIN, 0}};
            std::uint64_t wakeUsec = UINT64_MAX;
            for (const auto& observer : observers) {
                fds.push_back({observer->fd(), observer->events(), 0});
                wakeUsec = std::min(wakeUsec, observer->timeoutUsec());
            }
            fds.push_back({sd_bus_get_fd(raw), static_cast<short>(sd_bus_get_events(raw)), 0});
            std::uint64_t rawTimeout = UINT64_MAX;
            sd_bus_get_timeout(raw, &rawTimeout);
            wakeUsec = std::min(wakeUsec, rawTimeout);

            const std::uint64_t nowUsec = monotonicNs() / 1000u;
            const std::uint64_t waitMs =
                wakeUsec <= nowUsec
                    ? 0
                    : std::min<std::uint64_t>((wakeUsec - nowUsec) / 1000u + 1, 1000);
            ::poll(fds.data(), fds.size(), static_cast<int>(waitMs));
            if (fds[0].revents != 0)
                break; // The test closed the control pipe.
            for (const auto& observer : observers)
                if (!observer->process()) {
                    writeLine(reports, "lost");
                    return 1;
                }
            while (sd_bus_process(raw, nullptr) > 0) {
            }
        }
        sd_bus_close_unref(raw);
        return 0;
    }

    static int onRawSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
        const char* sender = sd_bus_message_get_sender(message);
        const char* path = sd_bus_message_get_path(message);
        // The bus itself and the keyring sharing the test bus are not ours to count.
        if ((sender && std::strcmp(sender, "org.freedesktop.DBus") == 0) || !path ||
            std::string_view(path).starts_with("/org/freedesktop/"))
            return 0;
        const char* interface = sd_bus_message_get_interface(message);
        const char* member = sd_bus_message_get_member(message);
        const char* signature = sd_bus_message_get_signature(message, 1);
        writeLine(*static_cast<int*>(userdata),
                  "signal " + std::string(path) + " " + (interface ? interface : "-") + " " +
                      (member ? member : "-") + " (" + (signature ? signature : "?") + ") " +
                      std::to_string(monotonicNs()));
        return 0;
    }

    std::optional<std::string> nextLine(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const auto newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd pfd{reports_, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[512];
            const ssize_t got = ::read(reports_, chunk, sizeof chunk);
            if (got <= 0)
                return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }

    pid_t pid_ = -1;
    int reports_ = -1;
    int control_ = -1;
    bool ready_ = false;
    std::string buffer_;
};

std::size_t countKind(const std::vector<Report>& reports, std::string_view kind) {
    return static_cast<std::size_t>(std::count_if(reports.begin(), reports.end(),
                                                  [&](const Report& r) { return r.kind == kind; }));
}

double elapsedMs(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// --- What goes over the wire ---------------------------------------------------------------

struct WireCase {
    std::string name;
    std::string path, interface, member;
};

void PrintTo(const WireCase& c, std::ostream* out) {
    *out << c.name;
}

class SettingsSignalWireForm : public testing::TestWithParam<WireCase> {};

TEST_P(SettingsSignalWireForm, OnePostIsOneSignalWithoutArguments) {
    const auto& c = GetParam();
    Watcher watcher({c.name});
    ASSERT_TRUE(watcher.ready());

    makeSessionBusPoster()->post(c.name);

    const auto reports = watcher.collect(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(countKind(reports, "observed"), 1u);
    ASSERT_EQ(countKind(reports, "signal"), 1u);
    const auto& signal = reports[0].kind == "signal" ? reports[0] : reports[1];
    EXPECT_EQ(signal.path, c.path);
    EXPECT_EQ(signal.interface, c.interface);
    EXPECT_EQ(signal.member, c.member);
    EXPECT_EQ(signal.signature, "");
}

INSTANTIATE_TEST_SUITE_P(Names, SettingsSignalWireForm,
                         testing::Values(WireCase{std::string(kName), "/org/virelon/voices/ios",
                                                  "org.virelon.voices.ios", "settingsChanged"},
                                         WireCase{"a.b.c", "/a/b", "a.b", "c"},
                                         WireCase{"_x.Y_2.z9._Member_1", "/_x/Y_2/z9", "_x.Y_2.z9",
                                                  "_Member_1"}),
                         [](const auto& row) { return "Case" + std::to_string(row.index); });

TEST(SettingsSignal, ObserverSeesOnlyItsOwnName) {
    // Same interface with another member, another interface with the same member, then its own.
    Watcher watcher({std::string(kName)});
    ASSERT_TRUE(watcher.ready());

    const auto poster = makeSessionBusPoster();
    poster->post("org.virelon.voices.ios.otherChanged");
    poster->post("org.virelon.voices.mac.settingsChanged");
    poster->post(kName);

    const auto reports = watcher.collect(4);
    EXPECT_EQ(countKind(reports, "signal"), 3u);
    EXPECT_EQ(countKind(reports, "observed"), 1u);
}

// --- Counts and latency ----------------------------------------------------------------------

struct CountCase {
    const char* label;
    std::size_t posts;
    bool oneAtATime; // Waits for each receipt before the next post: measures the latency.
};

void PrintTo(const CountCase& c, std::ostream* out) {
    *out << c.label;
}

class SettingsSignalPostCounts : public testing::TestWithParam<CountCase> {};

TEST_P(SettingsSignalPostCounts, EachPostIsReceivedOnce) {
    const auto& c = GetParam();
    Watcher watcher({std::string(kName)});
    ASSERT_TRUE(watcher.ready());
    const auto poster = makeSessionBusPoster();

    std::vector<Report> reports;
    std::vector<double> latenciesUs;
    if (c.oneAtATime) {
        for (std::size_t i = 0; i < c.posts; ++i) {
            const auto postedNs = monotonicNs();
            poster->post(kName);
            // Two reports per post: the observer's and the raw match's.
            for (int k = 0; k < 2; ++k) {
                auto report = watcher.next(5s);
                ASSERT_TRUE(report) << "post " << i;
                if (report->kind == "observed")
                    latenciesUs.push_back(static_cast<double>(report->receivedNs - postedNs) /
                                          1000.0);
                reports.push_back(std::move(*report));
            }
        }
        const auto more = watcher.collect(0);
        reports.insert(reports.end(), more.begin(), more.end());
    } else {
        for (std::size_t i = 0; i < c.posts; ++i)
            poster->post(kName);
        reports = watcher.collect(2 * c.posts);
    }

    EXPECT_EQ(countKind(reports, "observed"), c.posts);
    EXPECT_EQ(countKind(reports, "signal"), c.posts);
    if (!latenciesUs.empty()) {
        std::sort(latenciesUs.begin(), latenciesUs.end());
        const double median = latenciesUs[latenciesUs.size() / 2];
        RecordProperty("median_emit_to_receipt_us", std::to_string(median));
        std::printf("post -> observer callback, median of %zu: %.1f us\n", latenciesUs.size(),
                    median);
    }
}

INSTANTIATE_TEST_SUITE_P(Posts, SettingsSignalPostCounts,
                         testing::Values(CountCase{"OneAtATime", 200, true},
                                         CountCase{"Burst", 100, false}),
                         [](const auto& row) { return std::string(row.param.label); });

// --- Invalid names ---------------------------------------------------------------------------

const std::vector<std::string> kInvalidNames = {
    "",
    "settingsChanged",                                 // no "."
    ".settingsChanged",                                // empty interface
    "org.virelon.",                                    // empty member
    "virelon.settingsChanged",                         // an interface needs two elements
    "org..virelon.settingsChanged",                    // empty element
    "org.virelon.1changed",                            // member starts with a digit
    "org.3virelon.changed",                            // element starts with a digit
    "org.virelon.settings-changed",                    // '-' is not allowed
    "org.virelon voices.changed",                      // nor a space
    "org.virelön.changed",                             // nor anything outside ASCII
    std::string("org.virelon.x") + '\0' + "y.changed", // must not pass as "org.virelon.x"
    "org." + std::string(260, 'v') + ".changed",       // interface longer than 255
    "org.virelon." + std::string(256, 'm'),            // member longer than 255
};

TEST(SettingsSignal, InvalidNamesAreNotObserved) {
    for (const auto& name : kInvalidNames) {
        SCOPED_TRACE(name.substr(0, 40));
        EXPECT_EQ(observeSessionBusSignal(name, [] {}), nullptr);
    }
}

TEST(SettingsSignal, InvalidNamesAreNotPosted) {
    Watcher watcher({});
    ASSERT_TRUE(watcher.ready());
    const auto poster = makeSessionBusPoster();
    for (const auto& name : kInvalidNames)
        poster->post(name);
    // Signals from one connection arrive in order: the marker comes after anything posted above.
    poster->post("org.virelon.test.marker");

    const auto reports = watcher.collect(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].member, "marker");
}

// --- No bus, a hung bus, a restarted bus -----------------------------------------------------

struct NoBusCase {
    const char* label;
    bool runtimeDir;    // XDG_RUNTIME_DIR set, to an empty folder
    bool missingSocket; // DBUS_SESSION_BUS_ADDRESS names a socket that does not exist
};

void PrintTo(const NoBusCase& c, std::ostream* out) {
    *out << c.label;
}

class SettingsSignalNoBus : public testing::TestWithParam<NoBusCase> {};

TEST_P(SettingsSignalNoBus, PostsReturnAndNothingIsObserved) {
    const auto& c = GetParam();
    virelon::test::ScratchHome scratch;
    const auto empty = scratch.root() / "runtime";
    std::filesystem::create_directories(empty);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::unsetenv("XDG_RUNTIME_DIR");
    if (c.runtimeDir)
        ::setenv("XDG_RUNTIME_DIR", empty.c_str(), 1);
    if (c.missingSocket)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (empty / "bus").string()).c_str(), 1);

    const auto poster = makeSessionBusPoster();
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i)
        poster->post(kName);
    // Loose: a failed connection must not be waited on like an unanswered one.
    EXPECT_LT(elapsedMs(start), 1000.0);
    EXPECT_EQ(observeSessionBusSignal(kName, [] {}), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Environments, SettingsSignalNoBus,
                         testing::Values(NoBusCase{"EmptyRuntimeDir", true, false},
                                         NoBusCase{"NoRuntimeDir", false, false},
                                         NoBusCase{"MissingSocket", true, true}),
                         [](const auto& row) { return std::string(row.param.label); });

// A peer that accepts every connection and never says a word.
class SilentPeer {
public:
    explicit SilentPeer(const std::filesystem::path& socketPath) {
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        if (listener < 0 ||
            ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 16) != 0)
            std::abort();
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            std::vector<int> held;
            for (;;) {
                const int connection = ::accept(listener, nullptr, nullptr);
                if (connection >= 0)
                    held.push_back(connection);
            }
        }
        ::close(listener);
    }
    ~SilentPeer() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;

private:
    pid_t pid_ = -1;
};

TEST(SettingsSignal, HungBusCostsOnePostThenCoolsDown) {
    virelon::test::ScratchHome scratch;
    const auto socketPath = scratch.root() / "bus";
    SilentPeer peer(socketPath);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socketPath.string()).c_str(), 1);

    const auto poster = makeSessionBusPoster();
    auto start = Clock::now();
    poster->post(kName);
    const double firstMs = elapsedMs(start);
    EXPECT_LT(firstMs, 1500.0);

    start = Clock::now();
    for (int i = 0; i < 20; ++i)
        poster->post(kName);
    EXPECT_LT(elapsedMs(start), 500.0);

    start = Clock::now();
    EXPECT_EQ(observeSessionBusSignal(kName, [] {}), nullptr);
    EXPECT_LT(elapsedMs(start), 2500.0);
    std::printf("hung bus: first post %.0f ms\n", firstMs);
}

// A dbus-daemon of the test's own, so that it can be stopped and started again.
class PrivateBus {
public:
    explicit PrivateBus(const std::filesystem::path& socketPath) {
        std::filesystem::remove(socketPath);
        int ready[2];
        if (::pipe(ready) != 0)
            std::abort();
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            const std::string address = "--address=unix:path=" + socketPath.string();
            const std::string print = "--print-address=" + std::to_string(ready[1]);
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
                     address.c_str(), print.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(ready[1]);
        // The address is printed once the bus listens.
        char chunk[256];
        pollfd pfd{ready[0], POLLIN, 0};
        running_ = ::poll(&pfd, 1, 10000) > 0 && ::read(ready[0], chunk, sizeof chunk) > 0;
        ::close(ready[0]);
    }
    ~PrivateBus() { stop(); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool running() const { return running_; }
    void signal(int number) const { ::kill(pid_, number); }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    bool running_ = false;
};

TEST(SettingsSignal, PosterReconnectsAfterTheBusRestarts) {
    virelon::test::ScratchHome scratch;
    const auto socketPath = scratch.root() / "bus";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socketPath.string()).c_str(), 1);
    const auto poster = makeSessionBusPoster();

    auto firstBus = std::make_unique<PrivateBus>(socketPath);
    ASSERT_TRUE(firstBus->running());
    {
        Watcher watcher({std::string(kName)});
        ASSERT_TRUE(watcher.ready());
        poster->post(kName);
        EXPECT_EQ(countKind(watcher.collect(2), "observed"), 1u);
    }
    const auto observer = observeSessionBusSignal(kName, [] {});
    ASSERT_NE(observer, nullptr);

    firstBus.reset();
    // The observer learns that its connection is gone.
    bool alive = true;
    for (int i = 0; i < 20 && alive; ++i)
        alive = observer->wait(100'000);
    EXPECT_FALSE(alive);

    PrivateBus secondBus(socketPath);
    ASSERT_TRUE(secondBus.running());
    Watcher watcher({std::string(kName)});
    ASSERT_TRUE(watcher.ready());
    poster->post(kName); // The first post after the restart already arrives.
    EXPECT_EQ(countKind(watcher.collect(2), "observed"), 1u);
}

// Stands between clients and the test session's bus, passing bytes both ways, except that it
// swallows everything a client sends after its Hello (a bus that answers Hello and nothing else),
// or hangs up on the first connection after passing on its second settings signal and on the
// second right after its first (delivered, yet the client finds its connection gone).
class BusProxy {
public:
    enum class Rule { helloOnly, cutAfterPosts };

    BusProxy(const std::filesystem::path& socketPath, Rule rule) : path_(socketPath) {
        std::string upstream = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        upstream = upstream.substr(upstream.find("path=") + 5);
        upstream = upstream.substr(0, upstream.find(','));
        const int listener = listenAt(socketPath);
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0)
            serve(listener, upstream, rule);
        ::close(listener);
    }
    ~BusProxy() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    BusProxy(const BusProxy&) = delete;
    BusProxy& operator=(const BusProxy&) = delete;

    std::string address() const { return "unix:path=" + path_.string(); }

private:
    static int listenAt(const std::filesystem::path& path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (fd < 0 ||
            ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 16) != 0)
            std::abort();
        return fd;
    }
    static int connectTo(const std::string& path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? fd
                                                                                               : -1;
    }
    static std::size_t occurrences(std::string_view data, std::string_view word) {
        std::size_t n = 0;
        for (auto at = data.find(word); at != std::string_view::npos; at = data.find(word, at + 1))
            ++n;
        return n;
    }
    [[noreturn]] static void serve(int listener, const std::string& upstream, Rule rule) {
        struct Pair {
            int client, bus;
            std::size_t number;
            bool swallowUp = false, swallowDown = false;
        };
        std::vector<Pair> pairs;
        std::size_t accepted = 0;
        char chunk[65536];
        for (;;) {
            std::vector<pollfd> fds{{listener, POLLIN, 0}};
            for (const auto& p : pairs) {
                fds.push_back({p.client, POLLIN, 0});
                fds.push_back({p.bus, POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), -1);
            const std::size_t polled = pairs.size();
            if (fds[0].revents != 0)
                pairs.push_back(
                    {::accept(listener, nullptr, nullptr), connectTo(upstream), accepted++});
            for (std::size_t i = 0; i < polled; ++i) {
                auto& p = pairs[i];
                const bool fromClient = fds[1 + 2 * i].revents != 0;
                const bool fromBus = fds[2 + 2 * i].revents != 0;
                for (const bool up : {true, false}) {
                    if (!(up ? fromClient : fromBus) || p.client < 0)
                        continue;
                    const ssize_t got = ::read(up ? p.client : p.bus, chunk, sizeof chunk);
                    const std::string_view data(chunk, got > 0 ? static_cast<std::size_t>(got) : 0);
                    bool hangUp = got <= 0;
                    if (!hangUp && !(up ? p.swallowUp : p.swallowDown))
                        hangUp = ::write(up ? p.bus : p.client, data.data(), data.size()) < 0;
                    const bool hello = up && occurrences(data, "Hello") > 0;
                    const bool signal = up && occurrences(data, "settingsChanged") > 0;
                    if (rule == Rule::helloOnly) {
                        p.swallowUp = p.swallowUp || hello;
                    } else if (p.number == 0) {
                        hangUp = hangUp || (signal && !hello); // its second post
                    } else if (p.number == 1) {
                        // Its post goes through, the bus's answer to its Hello never comes back.
                        p.swallowDown = p.swallowDown || hello;
                        hangUp = hangUp || signal;
                    }
                    if (hangUp) {
                        if (got > 0) // what was passed on is delivered before the bus sees the end
                            std::this_thread::sleep_for(100ms);
                        ::close(p.client);
                        ::close(p.bus);
                        p.client = p.bus = -1;
                    }
                }
            }
            std::erase_if(pairs, [](const Pair& p) { return p.client < 0; });
        }
    }

    std::filesystem::path path_;
    pid_t pid_ = -1;
};

// Runs `check` in a process of its own, as the launch runs the bus check: what it leaves behind in
// the process stays there. Its result is the exit status.
int inOwnProcess(const std::function<int()>& check) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(check());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The launch's bus check lets the window appear quickly whatever the bus does, and never costs
// the settings signal: posted once the bus answers again, once per post.
TEST(SettingsSignal, ABusThatStallsAtLaunchDelaysTheWindowLittleAndSilencesNothing) {
    virelon::test::ScratchHome scratch;
    const std::string sessionBus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    {
        BusProxy helloOnly(scratch.root() / "hello-only", BusProxy::Rule::helloOnly);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", helloOnly.address().c_str(), 1);
        EXPECT_EQ(inOwnProcess([] {
                      const auto start = Clock::now();
                      const bool kept = virelon::platform::setAsideHungSessionBus(500ms);
                      return kept ? 1 : elapsedMs(start) < 1000.0 ? 0 : 2;
                  }),
                  0);
    }

    // A bus that stalls at launch and answers again afterwards.
    const auto socketPath = scratch.root() / "bus";
    PrivateBus bus(socketPath);
    ASSERT_TRUE(bus.running());
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socketPath.string()).c_str(), 1);
    {
        Watcher watcher({std::string(kName)});
        ASSERT_TRUE(watcher.ready());
        bus.signal(SIGSTOP);
        EXPECT_EQ(inOwnProcess([&] {
                      const bool kept = virelon::platform::setAsideHungSessionBus(300ms);
                      bus.signal(SIGCONT);
                      const auto poster = makeSessionBusPoster();
                      for (int i = 0; i < 3; ++i)
                          poster->post(kName);
                      return kept ? 1 : 0;
                  }),
                  0);
        bus.signal(SIGCONT);
        EXPECT_EQ(countKind(watcher.collect(3), "observed"), 3u);
    }

    // A post the bus received, on a connection that is gone before the poster learns so, is not
    // sent again: one signal per post, across the reconnection.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionBus.c_str(), 1);
    BusProxy cutting(scratch.root() / "cutting", BusProxy::Rule::cutAfterPosts);
    Watcher watcher({std::string(kName)});
    ASSERT_TRUE(watcher.ready());
    ::setenv("DBUS_SESSION_BUS_ADDRESS", cutting.address().c_str(), 1);
    const auto poster = makeSessionBusPoster();
    for (int i = 0; i < 4; ++i) {
        poster->post(kName);
        std::this_thread::sleep_for(300ms); // posts as a user makes them, not in one burst
    }
    EXPECT_EQ(countKind(watcher.collect(4), "observed"), 4u);
}

} // namespace
