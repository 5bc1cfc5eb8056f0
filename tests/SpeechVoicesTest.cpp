// The speech-dispatcher voices against real servers: the test environment's (scripts/test-env.sh)
// and servers of a test's own, started with a configuration the test writes.

#include "SpeechVoices.h"
#include "ScratchHome.h"
#include "virelon/Identifiers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using virelon::platform::makeSpeechDispatcherVoices;
using virelon::platform::Voice;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string engineModule(virelon::identifiers::applicationIdentifier);

// The promise: no server, one that cannot be started or one that does not answer costs at most
// 2 s. The slack is for a loaded machine.
constexpr auto promisedBound = 2s;
constexpr auto schedulingSlack = 500ms;

struct VoiceLine {
    std::string module, name, language;
    bool listed; // false for a variant of another voice
};

// A speech-dispatcher of the test's own, so that changing its configuration disturbs no other
// test. Its configuration is where autospawn looks for one (XDG_CONFIG_HOME); its socket, pid file
// and logs are in a runtime folder of its own, which SPEECHD_ADDRESS points to.
class PrivateServer {
public:
    PrivateServer() {
        fs::create_directories(runtime_);
        fs::permissions(runtime_, fs::perms::owner_all);
        fs::create_directories(config_ / "modules");
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        ::setenv("SPEECHD_ADDRESS", ("unix_socket:" + socket().string()).c_str(), 1);
    }
    ~PrivateServer() {
        signal(SIGCONT);
        signal(SIGTERM);
    }

    void configure(const std::vector<VoiceLine>& voices) {
        std::ofstream main(config_ / "speechd.conf");
        main << "AudioOutputMethod \"libao\"\n";
        std::vector<std::string> modules;
        for (const auto& voice : voices) {
            if (std::find(modules.begin(), modules.end(), voice.module) == modules.end()) {
                modules.push_back(voice.module);
                main << "AddModule \"" << voice.module << "\" \"sd_generic\" \"" << voice.module
                     << ".conf\"\n";
                std::ofstream(config_ / "modules" / (voice.module + ".conf"))
                    << "GenericExecuteSynth \"true\"\n";
            }
            std::ofstream(config_ / "modules" / (voice.module + ".conf"), std::ios::app)
                << "AddVoice \"" << voice.language << "\" \"MALE1\" \"" << voice.name << "\"\n";
        }
    }

    void start() {
        std::string program = "speech-dispatcher", daemon = "-d", timeout = "-t", seconds = "30",
                    configOption = "-C", config = config_.string();
        char* arguments[] = {program.data(),      daemon.data(), timeout.data(), seconds.data(),
                             configOption.data(), config.data(), nullptr};
        posix_spawn_file_actions_t output;
        posix_spawn_file_actions_init(&output);
        posix_spawn_file_actions_addopen(&output, STDOUT_FILENO, (root() / "server.log").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&output, STDOUT_FILENO, STDERR_FILENO);
        pid_t starter = -1;
        const int spawned =
            posix_spawnp(&starter, "speech-dispatcher", &output, nullptr, arguments, environ);
        posix_spawn_file_actions_destroy(&output);
        ASSERT_EQ(spawned, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(starter, &status, 0), starter);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        const auto deadline = Clock::now() + 5s;
        while (!(fs::is_socket(socket()) && pid() > 1) && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(fs::is_socket(socket()));
        ASSERT_GT(pid(), 1);
    }

    // The running server's pid, or -1. The pid file first holds a pid of the daemon's forking
    // stage, so only a pid whose command line names one of our folders counts.
    pid_t pid() const {
        pid_t server = -1;
        std::ifstream(runtime_ / "speech-dispatcher/pid/speech-dispatcher.pid") >> server;
        std::string commandLine;
        if (server > 1)
            std::getline(std::ifstream("/proc/" + std::to_string(server) + "/cmdline"),
                         commandLine);
        return commandLine.find(root().string()) != std::string::npos ? server : -1;
    }
    // Never anything but the server: kill() takes 0 and -1 for whole groups of processes.
    bool signal(int number) const {
        const pid_t server = pid();
        return server > 1 && ::kill(server, number) == 0;
    }
    fs::path socket() const { return runtime_ / "speech-dispatcher/speechd.sock"; }
    const fs::path& root() const { return home_.root(); }

private:
    virelon::test::ScratchHome home_;
    fs::path runtime_ = home_.root() / "runtime";
    fs::path config_ = home_.configHome() / "speech-dispatcher";
};

// The voices of a listing that must have succeeded completely.
std::vector<Voice> listed(virelon::platform::SpeechVoices& speechVoices) {
    auto listing = speechVoices.speechVoices();
    EXPECT_TRUE(listing.succeeded);
    EXPECT_TRUE(listing.failedModules.empty());
    return std::move(listing.voices);
}
std::vector<Voice> listed() {
    return listed(*makeSpeechDispatcherVoices());
}

std::vector<Voice> expectedVoices(const std::vector<VoiceLine>& lines) {
    std::vector<Voice> voices;
    for (const auto& line : lines) {
        if (line.listed)
            voices.push_back({line.module + "/" + line.name, line.name, line.language});
    }
    return voices;
}

TEST(SpeechVoices, ListsTheTestEnvironmentsVoicesInTheServersOrderWithoutVariants) {
    // As scripts/test-env.sh configures its server.
    const std::vector<VoiceLine> configured = {
        {"testvoices", "Kate", "en-GB", true},   {"testvoices", "Kate+Loud", "en-GB", false},
        {"testvoices", "Jonas", "de-DE", true},  {"testvoices", "Amélie", "fr-FR", true},
        {"testvoices", "Diego", "es-419", true}, {engineModule, "Ava", "en-US", true},
        {engineModule, "Oliver", "en-GB", true},
    };
    EXPECT_EQ(listed(), expectedVoices(configured));
}

TEST(SpeechVoices, LeavesOutOnlyVariantsOfAVoiceOfTheSameModule) {
    const std::vector<VoiceLine> voices = {
        {"alpha", "Jonas+Tief", "de-DE", false}, // listed before its voice
        {"alpha", "Jonas", "de-DE", true},
        {"alpha", "Jonas+Tief+Langsam", "de-DE", false}, // a variant whose name holds a "+"
        {"alpha", "Max+", "en-US", true},                // nothing after the "+"
        {"alpha", "Anna+Bert", "en-GB", true},           // "Anna" is another module's voice
        {"beta", "Anna", "en-GB", true},
    };
    PrivateServer server;
    server.configure(voices);
    ASSERT_NO_FATAL_FAILURE(server.start());
    EXPECT_EQ(listed(), expectedVoices(voices));
}

TEST(SpeechVoices, AsksTheServerAfreshForEachListing) {
    std::vector<VoiceLine> voices = {{"alpha", "Kate", "en-GB", true}};
    PrivateServer server;
    server.configure(voices);
    ASSERT_NO_FATAL_FAILURE(server.start());
    const auto speechVoices = makeSpeechDispatcherVoices();
    ASSERT_EQ(listed(*speechVoices), expectedVoices(voices));

    voices.push_back({"alpha", "Olivia", "en-AU", true});
    server.configure(voices);
    ASSERT_TRUE(server.signal(SIGHUP)); // the server re-reads its configuration
    // The restarted modules take a moment before they list their voices.
    const auto deadline = Clock::now() + 10s;
    std::vector<Voice> found;
    do {
        found = speechVoices->speechVoices().voices;
    } while (found != expectedVoices(voices) && Clock::now() < deadline);
    EXPECT_EQ(found, expectedVoices(voices));
}

TEST(SpeechVoices, StartsTheServerWhenNoneIsRunning) {
    const std::vector<VoiceLine> voices = {{"alpha", "Kate", "en-GB", true}};
    PrivateServer server;
    server.configure(voices);
    EXPECT_EQ(listed(), expectedVoices(voices));
}

TEST(SpeechVoices, ListsAServerThatCameUpAfterAFailedListing) {
    const std::vector<VoiceLine> voices = {{"alpha", "Kate", "en-GB", true}};
    PrivateServer server;
    server.configure(voices);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", server.root().c_str(), 1); // nothing there to start a server with
    const auto speechVoices = makeSpeechDispatcherVoices();
    EXPECT_FALSE(speechVoices->speechVoices().succeeded);
    ::setenv("PATH", path.c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(server.start());
    EXPECT_EQ(listed(*speechVoices), expectedVoices(voices));
}

struct UnreachableCase {
    const char* name;
    std::function<void(PrivateServer&)> arrange;
    std::chrono::milliseconds bound;
};

template <class Case>
std::string caseName(const testing::TestParamInfo<Case>& param) {
    return param.param.name;
}
void PrintTo(const UnreachableCase& unreachable, std::ostream* out) {
    *out << unreachable.name;
}

void installStarter(PrivateServer& server, const char* script) {
    const auto starter = server.root() / "speech-dispatcher";
    std::ofstream(starter) << "#!/bin/sh\n" << script << "\n";
    fs::permissions(starter, fs::perms::owner_all);
    ::setenv("PATH", server.root().c_str(), 1);
}

class Unreachable : public testing::TestWithParam<UnreachableCase> {};

TEST_P(Unreachable, FailsInTime) {
    PrivateServer server;
    server.configure({{"alpha", "Kate", "en-GB", true}});
    ASSERT_NO_FATAL_FAILURE(GetParam().arrange(server));
    const auto start = Clock::now();
    const auto listing = makeSpeechDispatcherVoices()->speechVoices();
    EXPECT_FALSE(listing.succeeded);
    EXPECT_TRUE(listing.voices.empty());
    EXPECT_LT(Clock::now() - start, GetParam().bound);
}

// Where starting a server cannot work, nobody waits for it.
INSTANTIATE_TEST_SUITE_P(
    SpeechVoices, Unreachable,
    testing::Values(
        UnreachableCase{"NoServerAndNoStarter",
                        [](PrivateServer& server) { ::setenv("PATH", server.root().c_str(), 1); },
                        1s},
        UnreachableCase{"StarterRefuses",
                        [](PrivateServer& server) { installStarter(server, "exit 1"); }, 1s},
        UnreachableCase{"StarterHangs",
                        [](PrivateServer& server) { installStarter(server, "/bin/sleep 5"); },
                        promisedBound + schedulingSlack},
        UnreachableCase{"ServerStopped",
                        [](PrivateServer& server) {
                            server.start();
                            ASSERT_TRUE(server.signal(SIGSTOP));
                        },
                        promisedBound + schedulingSlack}),
    caseName<UnreachableCase>);

struct PeerCase {
    const char* name;
    std::vector<std::string> replies;
    bool succeeds = false;
    std::vector<std::string> voices = {}; // "identifier language"
    std::vector<std::string> failedModules = {};
    std::chrono::milliseconds byteGap = 0ms; // between the bytes of each reply
    std::string endless = {};                // then this, over and over
};

void PrintTo(const PeerCase& peer, std::ostream* out) {
    *out << peer.name;
}

// A real server cannot be made to break off at a chosen byte, dribble or fail one module, so a
// scripted peer plays one: it answers each command with the next reply, then hangs up.
class ScriptedPeer : public testing::TestWithParam<PeerCase> {};

TEST_P(ScriptedPeer, ListsWhatItCanAndFailsWithinTheBounds) {
    PrivateServer server; // for its folders and address; it is not started
    ::setenv("PATH", server.root().c_str(), 1);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    fs::create_directories(server.socket().parent_path());
    server.socket().string().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    const auto& c = GetParam();
    std::thread peer([listener, &c] {
        const int connection = ::accept(listener, nullptr, nullptr);
        bool open = true;
        for (const auto& reply : c.replies) {
            for (char ch = 0; ch != '\n' && ::read(connection, &ch, 1) == 1;) {
            }
            for (std::size_t at = 0; open && at < reply.size();) {
                const auto size = c.byteGap > 0ms ? 1 : reply.size() - at;
                open = ::send(connection, reply.data() + at, size, MSG_NOSIGNAL) > 0;
                at += size;
                std::this_thread::sleep_for(c.byteGap);
            }
        }
        std::string endless;
        while (!c.endless.empty() && endless.size() < 64 * 1024)
            endless += c.endless;
        while (!endless.empty() &&
               ::send(connection, endless.data(), endless.size(), MSG_NOSIGNAL) > 0) {
        }
        ::close(connection);
    });
    const auto start = Clock::now();
    const auto listing = makeSpeechDispatcherVoices()->speechVoices();
    EXPECT_LT(Clock::now() - start, promisedBound + schedulingSlack);
    std::vector<std::string> voices;
    for (const auto& voice : listing.voices)
        voices.push_back(voice.identifier + " " + voice.language);
    EXPECT_EQ(listing.succeeded, c.succeeds);
    EXPECT_EQ(voices, c.voices);
    EXPECT_EQ(listing.failedModules, c.failedModules);
    peer.join();
    ::close(listener);
}

const std::string greeted = "208 OK CLIENT NAME SET\r\n";

const std::string twoModules = "250-alpha\r\n250-beta\r\n250 OK MODULE LIST SENT\r\n";
const std::string moduleSet = "216 OK OUTPUT MODULE SET\r\n";

INSTANTIATE_TEST_SUITE_P(
    SpeechVoices, ScriptedPeer,
    testing::Values(
        PeerCase{"HangsUpAtOnce", {}}, PeerCase{"AnswersOtherThanSsip", {greeted, "xyz\r\n"}},
        PeerCase{"BreaksOffAReply", {greeted, "2"}},
        PeerCase{"DiesInTheMiddleOfAVoiceList",
                 {greeted, twoModules, moduleSet, "249-Kate\ten-GB\tnone\r\n249-Ka"}},
        // Each byte within the old per-reply wait, the whole far past the listing's bound.
        PeerCase{"Dribbles", {greeted, twoModules}, false, {}, {}, 150ms},
        PeerCase{"SendsALineWithoutEnd", {greeted}, false, {}, {}, 0ms, "x"},
        PeerCase{"SendsVoicesWithoutEnd",
                 {greeted, twoModules, moduleSet},
                 false,
                 {},
                 {},
                 0ms,
                 "249-Kate\ten-GB\tnone\r\n"},
        // One name for two languages is one identifier: the first is kept. A module that cannot
        // list is named, not taken for a module without voices.
        PeerCase{"OneModuleFailsAndANameRepeats",
                 {greeted, twoModules, moduleSet,
                  "249-Kate\ten-GB\tnone\r\n249-Kate\tde-DE\tnone\r\n249 OK VOICE LIST SENT\r\n",
                  moduleSet, "300 ERR NO VOICES\r\n"},
                 true,
                 {"alpha/Kate en-GB"},
                 {"beta"}}),
    caseName<PeerCase>);

} // namespace
