// The settings signal on real session buses: the private bus of scripts/test-env.sh, a
// dbus-daemon started here to be restarted and paused, a socket that never answers, and a proxy
// in front of the test session's bus that answers only Hello or hangs up right after a post.

#include "platform/SettingsSignal.h"
#include "support/ScratchHome.h"
#include "support/SilentSocket.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <functional>
#include <poll.h>
#include <thread>

namespace {

using namespace virelon::platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using virelon::test::ScratchHome;
const std::string kName = "org.virelon.voices.ios.settingsChanged";

// What reaches this process: receipts of the library's observer of one name, and every signal on
// the bus as a raw match sees it ("path interface member (signature)"), so what went over the
// wire and that nothing else did.
struct Watch {
    explicit Watch(const std::string& name = kName)
        : observer(observeSessionBusSignal(name, [this] { ++observed; })) {
        if (sd_bus_open_user(&raw) < 0 ||
            sd_bus_add_match(raw, nullptr, "type='signal'", &onRaw, this) < 0)
            raw = sd_bus_close_unref(raw);
    }
    ~Watch() { sd_bus_close_unref(raw); }
    bool ready() const { return observer && raw; }

    // Lets the bus deliver until `wanted` receipts arrived, then a while longer so that a
    // duplicate would show.
    void settle(int wanted) {
        for (auto end = Clock::now() + 5s; Clock::now() < end;) {
            if (observed >= wanted)
                end = std::min(end, Clock::now() + 200ms);
            observer->wait(20'000);
            while (sd_bus_process(raw, nullptr) > 0) {
            }
        }
    }

    static int onRaw(sd_bus_message* m, void* self, sd_bus_error*) {
        const std::string path = sd_bus_message_get_path(m) ? sd_bus_message_get_path(m) : "";
        // The bus itself and the keyring sharing the test bus are not ours to count.
        if (path.empty() || path.starts_with("/org/freedesktop/"))
            return 0;
        const char* interface = sd_bus_message_get_interface(m);
        static_cast<Watch*>(self)->wire.push_back(path + " " + (interface ? interface : "-") + " " +
                                                  sd_bus_message_get_member(m) + " (" +
                                                  sd_bus_message_get_signature(m, 1) + ")");
        return 0;
    }

    int observed = 0;
    std::vector<std::string> wire;
    std::unique_ptr<SignalObserver> observer;
    sd_bus* raw = nullptr;
};

void useBus(const std::filesystem::path& socket) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket.string()).c_str(), 1);
}

// The name's own signal on the wire, once per post, after two signals whose interface or member
// differ that its observer must not take for its own; invalid names are neither observed nor
// posted (the one with a NUL must not pass as "org.virelon.x").
TEST(SettingsSignal, EachPostIsOneSignalOfItsNameAndOnlyItsObserverSeesIt) {
    const std::vector<std::string> invalid{"",
                                           "settingsChanged",
                                           ".settingsChanged",
                                           "org.virelon.",
                                           "virelon.settingsChanged",
                                           "org..virelon.settingsChanged",
                                           "org.virelon.1changed",
                                           "org.3virelon.changed",
                                           "org.virelon.settings-changed",
                                           "org.virelon voices.changed",
                                           "org.virelön.changed",
                                           std::string("org.virelon.x") + '\0' + "y.changed",
                                           "org." + std::string(260, 'v') + ".changed",
                                           "org.virelon." + std::string(256, 'm')};
    const struct {
        std::string name, wire;
        int posts;
    } cases[] = {
        {kName, "/org/virelon/voices/ios org.virelon.voices.ios settingsChanged ()", 100},
        {"a.b.c", "/a/b a.b c ()", 1},
        {"_x.Y_2.z9._Member_1", "/_x/Y_2/z9 _x.Y_2.z9 _Member_1 ()", 1},
    };
    for (const auto& c : cases) {
        Watch watch(c.name);
        ASSERT_TRUE(watch.ready());
        const auto poster = makeSessionBusPoster();
        poster->post(c.name + "X");
        poster->post("z." + c.name);
        for (const auto& name : invalid) {
            EXPECT_EQ(observeSessionBusSignal(name, [] {}), nullptr) << name.substr(0, 40);
            EXPECT_EQ(poster->post(name), Posted::notSent) << name.substr(0, 40);
        }
        for (int i = 0; i < c.posts; ++i)
            EXPECT_EQ(poster->post(c.name), Posted::sent) << c.name;
        watch.settle(c.posts);
        EXPECT_EQ(watch.observed, c.posts) << c.name;
        ASSERT_EQ(static_cast<int>(watch.wire.size()), c.posts + 2) << c.name;
        EXPECT_EQ(watch.wire.back(), c.wire);
    }
}

// Without a bus posts return at once and nothing is observed; a hung bus costs one post, then
// posts are dropped for a while, and subscribing gives up (bounds loose: "did not hang").
TEST(SettingsSignal, NoBusOrAHungBusCostsNoWaiting) {
    ScratchHome scratch;
    const std::string runtime = scratch.root() / "runtime", none;
    std::filesystem::create_directories(runtime);
    virelon::test::SilentSocket(runtime + "/ended"); // left behind by a bus that ended
    // An empty runtime folder, none, a bus address naming a socket that is not there, or one that
    // nobody listens on.
    for (const auto& [folder, address] : {std::pair{runtime, none}, std::pair{none, none},
                                          std::pair{runtime, "unix:path=" + runtime + "/bus"},
                                          std::pair{runtime, "unix:path=" + runtime + "/ended"}}) {
        folder.empty() ? ::unsetenv("XDG_RUNTIME_DIR")
                       : ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        address.empty() ? ::unsetenv("DBUS_SESSION_BUS_ADDRESS")
                        : ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        const auto poster = makeSessionBusPoster();
        const auto start = Clock::now();
        for (int i = 0; i < 100; ++i)
            EXPECT_EQ(poster->post(kName), Posted::noBus) << folder << address;
        EXPECT_LT(Clock::now() - start, 1s) << folder << address;
        EXPECT_EQ(observeSessionBusSignal(kName, [] {}), nullptr) << folder << address;
    }

    const virelon::test::SilentSocket silent(scratch.root() / "silent");
    useBus(scratch.root() / "silent");
    const auto poster = makeSessionBusPoster();
    for (const int posts : {1, 20}) { // The first post pays its bound, then posts are dropped.
        const auto start = Clock::now();
        for (int i = 0; i < posts; ++i)
            EXPECT_EQ(poster->post(kName), Posted::notSent) << posts;
        EXPECT_LT(Clock::now() - start, 3s) << posts;
    }
    const auto start = Clock::now();
    EXPECT_EQ(observeSessionBusSignal(kName, [] {}), nullptr);
    EXPECT_LT(Clock::now() - start, 5s);
}

// A dbus-daemon of the test's own: stopped (killed), started again, paused.
std::unique_ptr<virelon::test::Subprocess> startBus(const std::filesystem::path& socket) {
    std::filesystem::remove(socket);
    auto bus = std::make_unique<virelon::test::Subprocess>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--print-address",
                                                         "--address=unix:path=" + socket.string()});
    EXPECT_TRUE(bus->waitFor("unix:")) << "the bus listens";
    return bus;
}

// Stands between clients and the test session's bus. helloOnly: swallows what a client sends
// after its Hello (a bus that answers Hello and nothing else). Otherwise: hangs up right after
// passing on a signal a client sends on a connection it kept (delivered, yet the poster finds
// its connection gone).
pid_t startProxy(const std::filesystem::path& socket, bool helloOnly) {
    std::string upstream = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    upstream = upstream.substr(upstream.find("path=") + 5);
    sockaddr_un bus{AF_UNIX, {}};
    upstream.substr(0, upstream.find(',')).copy(bus.sun_path, sizeof bus.sun_path - 1);
    const virelon::test::SilentSocket listening(socket);
    const int listener = listening.fd();
    std::fflush(nullptr);
    if (const pid_t pid = ::fork(); pid != 0)
        return pid;
    struct Pair {
        int client, bus;
        bool swallow = false;
    };
    std::vector<Pair> pairs;
    for (char chunk[65536];;) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (const auto& p : pairs)
            fds.insert(fds.end(), {{p.client, POLLIN, 0}, {p.bus, POLLIN, 0}});
        ::poll(fds.data(), fds.size(), -1);
        for (std::size_t i = 0; i < 2 * pairs.size(); ++i) {
            auto& p = pairs[i / 2];
            const bool up = i % 2 == 0;
            if (fds[i + 1].revents == 0 || p.client < 0)
                continue;
            const ssize_t got = ::read(up ? p.client : p.bus, chunk, sizeof chunk);
            const std::string_view data(chunk, got > 0 ? static_cast<std::size_t>(got) : 0);
            bool hangUp = got <= 0 || (!(up && p.swallow) &&
                                       ::write(up ? p.bus : p.client, chunk, data.size()) < 0);
            const bool hello = up && data.find("Hello") != data.npos;
            p.swallow = p.swallow || (helloOnly && hello);
            if (!helloOnly && up && !hello && data.find("settingsChanged") != data.npos) {
                std::this_thread::sleep_for(100ms); // delivered before the bus sees the end
                hangUp = true;
            }
            if (hangUp) {
                ::close(p.client), ::close(p.bus);
                p.client = p.bus = -1;
            }
        }
        std::erase_if(pairs, [](const Pair& p) { return p.client < 0; });
        if (fds[0].revents != 0) {
            pairs.push_back(
                {::accept(listener, nullptr, nullptr), ::socket(AF_UNIX, SOCK_STREAM, 0)});
            ::connect(pairs.back().bus, reinterpret_cast<sockaddr*>(&bus), sizeof bus);
        }
    }
}

struct Killed {
    pid_t pid;
    ~Killed() { ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0); }
};

// Runs `check` in a process of its own, as the launch runs the bus check: what it changes in the
// process stays there. Its result is the exit status.
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
// the settings signal: posted once the bus answers again, once per post, also after a restart.
TEST(SettingsSignal, ABusThatStallsOrRestartsDelaysTheWindowLittleAndSilencesNothing) {
    ScratchHome scratch;
    const std::string sessionBus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    {
        const Killed proxy{startProxy(scratch.root() / "hello-only", true)};
        useBus(scratch.root() / "hello-only");
        EXPECT_EQ(inOwnProcess([] {
                      const auto start = Clock::now();
                      const bool kept = virelon::platform::setAsideHungSessionBus(500ms);
                      return kept ? 1 : Clock::now() - start < 1s ? 0 : 2;
                  }),
                  0);
    }

    // A bus that stalls at launch and answers again afterwards, then stops and starts again: a
    // poster made before there was a bus reaches each, and an observer learns that it lost one.
    useBus(scratch.root() / "bus");
    const auto poster = makeSessionBusPoster();
    auto bus = startBus(scratch.root() / "bus");
    const auto observer = observeSessionBusSignal(kName, [] {});
    ASSERT_NE(observer, nullptr);
    {
        Watch watch;
        ASSERT_TRUE(watch.ready());
        poster->post(kName);
        bus->signal(SIGSTOP);
        EXPECT_EQ(inOwnProcess([&] {
                      const bool kept = virelon::platform::setAsideHungSessionBus(300ms);
                      bus->signal(SIGCONT);
                      const auto child = makeSessionBusPoster();
                      for (int i = 0; i < 3; ++i)
                          child->post(kName);
                      return kept ? 1 : 0;
                  }),
                  0);
        bus->signal(SIGCONT);
        watch.settle(4);
        EXPECT_EQ(watch.observed, 4);
    }
    bus.reset();
    bool alive = true;
    for (int i = 0; i < 20 && alive; ++i)
        alive = observer->wait(100'000);
    EXPECT_FALSE(alive) << "the observer learns that its connection is gone";
    bus = startBus(scratch.root() / "bus");
    {
        Watch watch;
        ASSERT_TRUE(watch.ready());
        poster->post(kName); // The first post after the restart already arrives, once.
        watch.settle(1);
        EXPECT_EQ(watch.observed, 1);
    }

    // A post the bus received, on a connection that is gone before the poster learns so, is not
    // sent again: one signal per post, across the reconnections.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionBus.c_str(), 1);
    Watch watch;
    ASSERT_TRUE(watch.ready());
    const Killed proxy{startProxy(scratch.root() / "cutting", false)};
    useBus(scratch.root() / "cutting");
    const auto cut = makeSessionBusPoster();
    for (int i = 0; i < 4; ++i) {
        cut->post(kName);
        std::this_thread::sleep_for(300ms); // posts as a user makes them, not in one burst
    }
    watch.settle(4);
    EXPECT_EQ(watch.observed, 4);
}

} // namespace
