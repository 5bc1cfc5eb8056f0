// The Secret Service store against a real gnome-keyring (scripts/test-env.sh), and against buses
// that never answer. Items are written with the real secret-tool, as another program would.

#include "LegacyItemStore.h"
#include "ScratchHome.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using virelon::platform::makeSecretServiceStore;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

struct Spawned {
    pid_t pid = -1;
    int input = -1;  // the child's stdin, or -1
    int output = -1; // the child's stdout
};

// A tool gets stdin and stdout (stderr joined to it: secret-tool prints attributes there); a
// daemon gets stdout only and a process group of its own, so that what it starts goes with it.
enum class ChildKind { Tool, Daemon };

Spawned spawn(const std::vector<std::string>& argv, ChildKind kind) {
    const bool tool = kind == ChildKind::Tool;
    int in[2] = {-1, -1};
    int out[2];
    if ((tool && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0)
        std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (tool) {
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (!tool) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    Spawned child;
    if (posix_spawnp(&child.pid, args[0], &actions, &attributes, args.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (tool) {
        close(in[0]);
        child.input = in[1];
    }
    close(out[1]);
    child.output = out[0];
    return child;
}

struct RunResult {
    int status = -1;
    std::string output;
};

RunResult run(const std::vector<std::string>& argv, const Bytes& input = {}) {
    Spawned child = spawn(argv, ChildKind::Tool);
    RunResult result;
    if (child.pid < 0)
        return result;
    for (std::size_t written = 0; written < input.size();) {
        const auto n = write(child.input, input.data() + written, input.size() - written);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    close(child.input);
    char buffer[4096];
    for (ssize_t n; (n = read(child.output, buffer, sizeof buffer)) > 0;)
        result.output.append(buffer, static_cast<std::size_t>(n));
    close(child.output);
    int status = 0;
    waitpid(child.pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

struct ItemAttributes {
    std::string service;
    std::string accessGroup;
    std::string account;
};

// Stores with the command-line tool: no xdg:schema attribute, stdin kept byte for byte.
void storeItem(const ItemAttributes& item, const Bytes& secret,
               const std::vector<std::string>& extraAttributes = {}) {
    std::vector<std::string> argv = {"secret-tool", "store",        "--label=Virelon test item",
                                     "service",     item.service,   "account",
                                     item.account,  "access-group", item.accessGroup};
    argv.insert(argv.end(), extraAttributes.begin(), extraAttributes.end());
    ASSERT_EQ(run(argv, secret).status, 0) << "secret-tool store failed";
}

// Everything the keyring holds for `service`, one entry per item (path, label, secret, creation
// and change times, attributes), in a stable order.
std::vector<std::string> itemsOf(const std::string& service) {
    const std::string listing =
        run({"secret-tool", "search", "--all", "--unlock", "service", service}).output;
    std::vector<std::string> items;
    for (std::size_t start = 0; start < listing.size();) {
        const auto next = listing.find("\n[", start);
        const auto end = next == std::string::npos ? listing.size() : next + 1;
        items.push_back(listing.substr(start, end - start));
        start = end;
    }
    std::sort(items.begin(), items.end());
    return items;
}

// Tests that write items run only in the private session of scripts/test-env.sh, never against
// the keyring of whoever runs them.
class LegacyItemStoreKeyringTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("VIRELON_TEST_ROOT"))
            GTEST_SKIP() << "run inside scripts/test-env.sh";
    }

    // A service name no other test process uses, so that parallel runs never see each other.
    std::string service =
        "org.virelon.test." +
        std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "." +
        std::to_string(getpid());
    std::string group = "TEAM.org.virelon.test.shared";
};

struct StoredSecret {
    const char* name;
    Bytes secret;
};

TEST_F(LegacyItemStoreKeyringTest, FindsTheStoredBytesExactly) {
    const std::vector<StoredSecret> cases = {
        {"plain text", bytesOf("Kate")},
        {"not UTF-8", {0xff, 0xfe, 0x41}},
        {"embedded NUL", {'4', 0x00, '2'}},
        {"trailing newline", bytesOf("120\n")},
        {"empty", {}},
    };
    for (const auto& c : cases)
        storeItem({service, group, c.name}, c.secret);

    const auto store = makeSecretServiceStore(5s);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(store->lookup(service, group, c.name), c.secret);
    }
}

TEST_F(LegacyItemStoreKeyringTest, MatchesOnlyAllThreeAttributes) {
    storeItem({service, group, "rate"}, bytesOf("60"));
    const std::vector<std::pair<const char*, ItemAttributes>> misses = {
        {"missing account", {service, group, "pitch"}},
        {"other service", {service + ".other", group, "rate"}},
        {"other access group", {service, group + ".other", "rate"}},
        {"service prefix", {service.substr(0, service.size() - 1), group, "rate"}},
        {"empty account", {service, group, ""}},
    };

    const auto store = makeSecretServiceStore(5s);
    for (const auto& [name, query] : misses) {
        SCOPED_TRACE(name);
        EXPECT_EQ(store->lookup(query.service, query.accessGroup, query.account), std::nullopt);
    }
    EXPECT_EQ(store->lookup(service, group, "rate"), bytesOf("60"));
}

TEST_F(LegacyItemStoreKeyringTest, TellsAccessGroupsApart) {
    const std::string otherGroup = group + ".second";
    storeItem({service, group, "volume"}, bytesOf("first"));
    storeItem({service, otherGroup, "volume"}, bytesOf("second"));

    const auto store = makeSecretServiceStore(5s);
    EXPECT_EQ(store->lookup(service, group, "volume"), bytesOf("first"));
    EXPECT_EQ(store->lookup(service, otherGroup, "volume"), bytesOf("second"));
}

TEST_F(LegacyItemStoreKeyringTest, FindsItemsWhateverSchemaStoredThem) {
    storeItem({service, group, "voice"}, bytesOf("Zoe"),
              {"xdg:schema", "org.example.SomeOtherSchema"});

    EXPECT_EQ(makeSecretServiceStore(5s)->lookup(service, group, "voice"), bytesOf("Zoe"));
}

TEST_F(LegacyItemStoreKeyringTest, NeverChangesTheKeyring) {
    storeItem({service, group, "rate"}, bytesOf("60"));
    storeItem({service, group, "empty"}, {});
    const auto before = itemsOf(service);
    ASSERT_EQ(before.size(), 2u);

    {
        const auto store = makeSecretServiceStore(5s);
        for (const char* account : {"rate", "empty", "missing"})
            store->lookup(service, group, account);
        store->lookup(service, group + ".other", "rate");
    }

    EXPECT_EQ(itemsOf(service), before);
}

TEST_F(LegacyItemStoreKeyringTest, RefusesQueriesNoItemCanMatchWithoutSpendingTheBudget) {
    storeItem({service, group, "rate"}, bytesOf("60"));
    // libsecret reports such attribute values as criticals: make any of them end the test.
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));

    const auto store = makeSecretServiceStore(5s);
    const auto started = Clock::now();
    EXPECT_EQ(store->lookup(service, group, "r\xff"), std::nullopt);
    EXPECT_EQ(store->lookup(service, std::string_view("TEAM\0x", 6), "rate"), std::nullopt);
    EXPECT_EQ(store->lookup(std::string_view("org\0x", 5), group, "rate"), std::nullopt);
    EXPECT_LT(Clock::now() - started, 100ms);
    EXPECT_EQ(store->lookup(service, group, "rate"), bytesOf("60"));
}

TEST_F(LegacyItemStoreKeyringTest, FindsNothingOnceTheBudgetIsSpent) {
    storeItem({service, group, "rate"}, bytesOf("60"));

    EXPECT_EQ(makeSecretServiceStore(0ms)->lookup(service, group, "rate"), std::nullopt);
}

TEST_F(LegacyItemStoreKeyringTest, HealthyKeyringAnswersWellWithinTheBudget) {
    storeItem({service, group, "rate"}, bytesOf("60"));

    const auto store = makeSecretServiceStore(500ms);
    std::vector<double> latencies;
    for (int i = 0; i < 6; ++i) {
        const auto started = Clock::now();
        EXPECT_EQ(store->lookup(service, group, "rate"), bytesOf("60")) << "lookup " << i;
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    }
    RecordProperty("first_lookup_ms", std::to_string(latencies.front()));
    RecordProperty("later_lookup_ms", std::to_string(latencies.back()));
}

// --- Buses that never answer. GDBus keeps one session bus per process, and every test case runs
// in a process of its own: each sets its environment before the first GLib call.

std::string inMilliseconds(Clock::duration duration) {
    return std::to_string(std::chrono::duration<double, std::milli>(duration).count());
}

// Six lookups on one store with a 500 ms budget: none finds anything, all together stay bounded,
// and once the budget is spent a lookup does not wait at all.
void expectBoundedByTheBudget() {
    const auto store = makeSecretServiceStore(500ms);
    std::vector<Clock::duration> latencies;
    const auto started = Clock::now();
    for (int i = 0; i < 6; ++i) {
        const auto lookupStarted = Clock::now();
        EXPECT_EQ(store->lookup("org.virelon.test", "TEAM.group", "rate"), std::nullopt);
        latencies.push_back(Clock::now() - lookupStarted);
    }
    const auto total = Clock::now() - started;
    EXPECT_LT(total, 1500ms);
    for (std::size_t i = 1; i < latencies.size(); ++i)
        EXPECT_LT(latencies[i], 5ms) << "lookup " << i << " after the budget was spent";
    ::testing::Test::RecordProperty("first_lookup_ms", inMilliseconds(latencies.front()));
    ::testing::Test::RecordProperty("later_lookup_ms", inMilliseconds(latencies.back()));
    ::testing::Test::RecordProperty("total_ms", inMilliseconds(total));
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// A dbus-daemon of the test's own on `folder`/bus, activating the services in `folder`/services.
// Its process group is its own, so whatever it activates ends with it.
class PrivateBus {
public:
    PrivateBus(const std::filesystem::path& folder, const std::string& policy) {
        const auto config = folder / "bus.conf";
        writeFile(config,
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                  "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig>\n  <type>session</type>\n"
                  "  <listen>unix:path=" +
                      (folder / "bus").string() +
                      "</listen>\n"
                      "  <auth>EXTERNAL</auth>\n"
                      "  <servicedir>" +
                      (folder / "services").string() +
                      "</servicedir>\n"
                      "  <policy context=\"default\">" +
                      policy +
                      "</policy>\n"
                      "</busconfig>\n");
        daemon_ = spawn(
            {"dbus-daemon", "--config-file=" + config.string(), "--print-address", "--nofork"},
            ChildKind::Daemon);
        for (char c; daemon_.pid > 0 && read(daemon_.output, &c, 1) == 1 && c != '\n';)
            address_ += c;
    }
    ~PrivateBus() {
        if (daemon_.pid > 0) {
            kill(-daemon_.pid, SIGTERM);
            waitpid(daemon_.pid, nullptr, 0);
        }
        close(daemon_.output);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    /// Empty when the daemon did not start.
    const std::string& address() const { return address_; }

private:
    Spawned daemon_;
    std::string address_;
};

// The usual session policy: anyone may call anyone.
const std::string openPolicy =
    R"(<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>)";

TEST(LegacyItemStoreBoundedTest, ActivatableServiceThatNeverAppears) {
    const virelon::test::ScratchHome scratch;
    // D-Bus holds the activation request for 25 s waiting for the name.
    writeFile(scratch.root() / "services" / "org.freedesktop.secrets.service",
              "[D-BUS Service]\nName=org.freedesktop.secrets\nExec=/bin/sleep 60\n");
    const PrivateBus bus(scratch.root(), openPolicy);
    ASSERT_FALSE(bus.address().empty());
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

    expectBoundedByTheBudget();
}

TEST(LegacyItemStoreBoundedTest, BusThatAuthenticatesButNeverAnswers) {
    const virelon::test::ScratchHome scratch;
    // Clients connect and authenticate, but with no rule allowing them to receive, nothing
    // reaches them, not even the reply to Hello: GDBus waits 25 s for it and cannot be cancelled.
    const PrivateBus bus(scratch.root(), R"(<allow send_destination="*"/><allow own="*"/>)");
    ASSERT_FALSE(bus.address().empty());
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

    expectBoundedByTheBudget();
}

TEST(LegacyItemStoreBoundedTest, SocketThatNeverAnswers) {
    const virelon::test::ScratchHome scratch;
    const auto path = scratch.root() / "bus";
    // Connections complete through the listen backlog; nothing is ever read or written.
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 16), 0);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path.string()).c_str(), 1);

    expectBoundedByTheBudget();

    close(listener);
}

TEST(LegacyItemStoreBoundedTest, NoSessionBusAtAll) {
    const virelon::test::ScratchHome scratch;
    std::filesystem::create_directories(scratch.root() / "runtime");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("DISPLAY");
    setenv("XDG_RUNTIME_DIR", (scratch.root() / "runtime").c_str(), 1);

    const auto store = makeSecretServiceStore(5s);
    const auto started = Clock::now();
    EXPECT_EQ(store->lookup("org.virelon.test", "TEAM.group", "rate"), std::nullopt);
    EXPECT_EQ(store->lookup("org.virelon.test", "TEAM.group", "pitch"), std::nullopt);
    const auto elapsed = Clock::now() - started;
    EXPECT_LT(elapsed, 100ms);
    ::testing::Test::RecordProperty("two_lookups_ms", inMilliseconds(elapsed));
}

} // namespace
