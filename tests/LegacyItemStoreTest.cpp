// The Secret Service store against a real gnome-keyring (scripts/test-env.sh), and against buses
// that never answer. Items are written with the real secret-tool, as another program would.

#include "LegacyItemStore.h"
#include "LegacyMigration.h"
#include "PreferencesDomain.h"
#include "ScratchHome.h"
#include "SettingsPlatform.h"
#include "virelon/Identifiers.h"
#include "virelon/VirelonSharedSettings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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

using Accounts = std::vector<std::string_view>;
using virelon::platform::LegacyItems;

LegacyItems items(std::initializer_list<std::pair<const char*, Bytes>> entries) {
    LegacyItems result;
    for (const auto& [account, secret] : entries)
        result.emplace(account, secret);
    return result;
}

TEST_F(LegacyItemStoreKeyringTest, OneSearchFindsEachAccountsBytesExactly) {
    const std::string otherGroup = group + ".other";
    storeItem({service, group, "plain"}, bytesOf("Kate"));
    storeItem({service, group, "not UTF-8"}, {0xff, 0xfe, 0x41});
    storeItem({service, group, "embedded NUL"}, {'4', 0x00, '2'});
    storeItem({service, group, "trailing newline"}, bytesOf("120\n"));
    storeItem({service, group, "empty"}, {});
    storeItem({service, group, "other schema"}, bytesOf("Zoe"),
              {"xdg:schema", "org.example.SomeOtherSchema"});
    storeItem({service, otherGroup, "plain"}, bytesOf("second"));
    storeItem({service + ".other", group, "elsewhere"}, bytesOf("1"));
    storeItem({service.substr(0, service.size() - 1), group, "prefix"}, bytesOf("1"));

    const struct {
        const char* name;
        std::string group;
        Accounts accounts;
        LegacyItems found;
    } cases[] = {
        {"every kind of bytes",
         group,
         {"plain", "not UTF-8", "embedded NUL", "trailing newline", "empty", "other schema"},
         items({{"plain", bytesOf("Kate")},
                {"not UTF-8", {0xff, 0xfe, 0x41}},
                {"embedded NUL", {'4', 0x00, '2'}},
                {"trailing newline", bytesOf("120\n")},
                {"empty", {}},
                {"other schema", bytesOf("Zoe")}})},
        {"only the accounts asked for", group, {"empty", "missing"}, items({{"empty", {}}})},
        {"the other access group", otherGroup, {"plain"}, items({{"plain", bytesOf("second")}})},
        {"other services and prefixes never match", group, {"elsewhere", "prefix", ""}, {}},
        {"accounts no item can hold", group, {"r\xff", std::string_view("plain\0x", 7)}, {}},
    };
    const auto store = makeSecretServiceStore(5s);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(store->lookup(service, c.group, c.accounts), c.found);
    }
}

TEST_F(LegacyItemStoreKeyringTest, TheFirstItemListedWinsAndNothingChanges) {
    storeItem({service, group, "rate"}, bytesOf("60"));
    storeItem({service, group, "rate"}, bytesOf("61"), {"copy", "1"});
    const auto before = itemsOf(service);
    ASSERT_EQ(before.size(), 2u);
    const auto listed = makeSecretServiceStore(5s)->lookup(service, group, Accounts{"rate"});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(listed.at("rate") == bytesOf("60") || listed.at("rate") == bytesOf("61"));
    EXPECT_EQ(itemsOf(service), before);
}

TEST_F(LegacyItemStoreKeyringTest, QueriesNoItemCanMatchOrASpentBudgetFindNothingAtOnce) {
    storeItem({service, group, "rate"}, bytesOf("60"));
    const auto store = makeSecretServiceStore(5s);
    const auto started = Clock::now();
    EXPECT_TRUE(store->lookup(service, std::string_view("TEAM\0x", 6), Accounts{"rate"}).empty());
    EXPECT_TRUE(store->lookup(std::string_view("org\0x", 5), group, Accounts{"rate"}).empty());
    EXPECT_TRUE(store->lookup(service + "\xc0\xaf", group, Accounts{"rate"}).empty());
    EXPECT_TRUE(store->lookup(service, group, Accounts{}).empty());
    EXPECT_LT(Clock::now() - started, 100ms);
    EXPECT_EQ(store->lookup(service, group, Accounts{"rate"}), items({{"rate", bytesOf("60")}}));

    EXPECT_TRUE(makeSecretServiceStore(0ms)->lookup(service, group, Accounts{"rate"}).empty());
}

// The launch's migration over the real domain and keyring, items stored under the application's
// own keychain service: every key without a value comes from one search, the rest is not asked.
TEST_F(LegacyItemStoreKeyringTest, MigrationReadsEveryMissingKeyFromOneSearch) {
    using virelon::VirelonSharedSettings;
    namespace ids = virelon::identifiers;
    const virelon::test::ScratchHome scratch;
    const std::string ours(ids::keychainService), ourGroup(ids::keychainAccessGroup);
    // The session's keyring is shared with the other tests (the launches of the end-to-end tests
    // among them): take the items away again.
    struct Clear {
        const std::string& service;
        const std::string& group;
        ~Clear() { run({"secret-tool", "clear", "service", service, "access-group", group}); }
    } clear{ours, ourGroup};
    storeItem({ours, ourGroup, "fallbackVoiceIdentifier"}, bytesOf("testvoices/Kate"));
    storeItem({ours, ourGroup, "headSize"}, bytesOf("150"));
    storeItem({ours, ourGroup, "voicing"}, bytesOf("4.5"));
    storeItem({ours, ourGroup, "wordPause"}, bytesOf("7"));
    ASSERT_TRUE(
        virelon::platform::openPreferencesDomain(ids::suiteName)->setInteger("wordPause", 33));

    std::vector<std::vector<std::string>> searches;
    class CountingStore final : public virelon::platform::LegacyItemStore {
    public:
        explicit CountingStore(std::vector<std::vector<std::string>>& searches)
            : searches_(searches) {}
        LegacyItems lookup(std::string_view service, std::string_view accessGroup,
                           std::span<const std::string_view> accounts) override {
            searches_.emplace_back(accounts.begin(), accounts.end());
            return real_->lookup(service, accessGroup, accounts);
        }

    private:
        std::vector<std::vector<std::string>>& searches_;
        std::unique_ptr<virelon::platform::LegacyItemStore> real_ = makeSecretServiceStore(500ms);
    };
    virelon::detail::useLegacyStore(
        [&searches] { return std::make_unique<CountingStore>(searches); });
    const auto before = itemsOf(ours);

    VirelonSharedSettings::migrateLegacySettings();
    VirelonSharedSettings::migrateLegacySettings();

    const std::vector<std::vector<std::string>> expected = {
        {"fallbackVoiceIdentifier", "intonation", "headSize", "voicing", "phrasePause"},
        {"intonation", "voicing", "phrasePause"}};
    EXPECT_EQ(searches, expected);
    EXPECT_EQ(VirelonSharedSettings::fallbackVoiceIdentifier(), "testvoices/Kate");
    EXPECT_EQ(VirelonSharedSettings::headSize(), 100);
    EXPECT_FALSE(VirelonSharedSettings::isStored("voicing"));
    EXPECT_EQ(VirelonSharedSettings::wordPause(), 33);
    EXPECT_EQ(itemsOf(ours), before);
}

// --- Buses that never answer. Each test case runs in a process of its own and points the session
// bus address at its own bus.

std::string inMilliseconds(Clock::duration duration) {
    return std::to_string(std::chrono::duration<double, std::milli>(duration).count());
}

// One search on a store with a 500 ms budget finds nothing within the bound; once the budget is
// spent the next search does not wait at all.
void expectBoundedByTheBudget() {
    const auto store = makeSecretServiceStore(500ms);
    const Accounts accounts = {"rate", "pitch"};
    const auto started = Clock::now();
    EXPECT_TRUE(store->lookup("org.virelon.test", "TEAM.group", accounts).empty());
    const auto first = Clock::now() - started;
    EXPECT_LT(first, 1000ms);
    const auto again = Clock::now();
    EXPECT_TRUE(store->lookup("org.virelon.test", "TEAM.group", accounts).empty());
    EXPECT_LT(Clock::now() - again, 5ms) << "after the budget was spent";
    ::testing::Test::RecordProperty("search_ms", inMilliseconds(first));
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

TEST(LegacyItemStoreBoundedTest, BusWithoutTheService) {
    const virelon::test::ScratchHome scratch;
    const PrivateBus bus(scratch.root(), openPolicy); // nothing running, nothing activatable
    ASSERT_FALSE(bus.address().empty());
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

    const auto started = Clock::now();
    EXPECT_TRUE(makeSecretServiceStore(5s)
                    ->lookup("org.virelon.test", "TEAM.group", Accounts{"rate"})
                    .empty());
    EXPECT_LT(Clock::now() - started, 100ms) << "the bus answers at once";
}

TEST(LegacyItemStoreBoundedTest, BusThatAuthenticatesButNeverAnswers) {
    const virelon::test::ScratchHome scratch;
    // Clients connect and authenticate, but with no rule allowing them to receive, nothing
    // reaches them, not even the reply to Hello.
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

    const auto started = Clock::now();
    EXPECT_TRUE(makeSecretServiceStore(5s)
                    ->lookup("org.virelon.test", "TEAM.group", Accounts{"rate"})
                    .empty());
    EXPECT_LT(Clock::now() - started, 100ms);
}

} // namespace
