// The speech-dispatcher voices against real servers of the test's own, started with a
// configuration the test writes, and against a scripted peer where a real server cannot be made to
// break off at a chosen byte, dribble, talk without end or fail one module.

#include "platform/SpeechVoices.h"
#include "support/ScratchHome.h"
#include "support/ScriptedPeer.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using virelon::platform::makeSpeechDispatcherVoices;
using virelon::platform::VoiceListing;
using virelon::test::Clock;
namespace fs = std::filesystem;

// The promise: no server, one that cannot be started or one that does not answer costs at most
// 2 s. The slack is for a loaded machine.
constexpr auto promisedBound = 2500ms;

// A speech-dispatcher of the test's own, so that changing its configuration disturbs no other
// test. Its configuration is where autospawn looks for one (XDG_CONFIG_HOME); its socket, pid file
// and logs are in a runtime folder of its own, which SPEECHD_ADDRESS points to.
class PrivateServer {
public:
    PrivateServer() {
        fs::create_directories(runtime_);
        fs::permissions(runtime_, fs::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        ::setenv("SPEECHD_ADDRESS", ("unix_socket:" + socket().string()).c_str(), 1);
    }
    ~PrivateServer() {
        signal(SIGCONT);
        signal(SIGTERM);
    }
    /// Voices as "module name language", each module's in the order given.
    void configure(const std::vector<std::string>& voices) {
        fs::remove_all(config_);
        fs::create_directories(config_ / "modules");
        std::ofstream main(config_ / "speechd.conf");
        main << "AudioOutputMethod \"libao\"\n";
        for (const auto& voice : voices) {
            std::string module, name, language;
            std::istringstream(voice) >> module >> name >> language;
            const auto file = config_ / "modules" / (module + ".conf");
            if (!fs::exists(file)) {
                main << "AddModule \"" << module << "\" \"sd_generic\" \"" << module << ".conf\"\n";
                std::ofstream(file) << "GenericExecuteSynth \"true\"\n";
            }
            std::ofstream(file, std::ios::app)
                << "AddVoice \"" << language << "\" \"MALE1\" \"" << name << "\"\n";
        }
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

// "identifier language" of each voice, whose name must be the identifier's.
std::vector<std::string> voicesOf(const VoiceListing& listing) {
    std::vector<std::string> voices;
    for (const auto& voice : listing.voices) {
        EXPECT_TRUE(voice.identifier.ends_with("/" + voice.name)) << voice.identifier;
        voices.push_back(voice.identifier + " " + voice.language);
    }
    return voices;
}

TEST(SpeechVoices, StartsAServerAndAsksItAfreshLeavingOutOnlyVariantsOfAVoiceOfTheSameModule) {
    PrivateServer server;
    server.configure({"alpha Jonas+Tief de-DE", "alpha Jonas de-DE",
                      "alpha Jonas+Tief+Langsam de-DE", "alpha Max+ en-US", "alpha Anna+Bert en-GB",
                      "beta Anna en-GB"});
    const std::string path = std::getenv("PATH"), address = std::getenv("SPEECHD_ADDRESS");
    ::setenv("PATH", server.root().c_str(), 1); // nothing there to start a server with
    EXPECT_FALSE(makeSpeechDispatcherVoices()->speechVoices().succeeded);
    ::setenv("PATH", path.c_str(), 1);
    // The environment as it was when the object was made: what another thread changes later
    // reaches neither the listing nor the server it starts.
    int reloadRequests = 0;
    const auto speechVoices = makeSpeechDispatcherVoices(true, [&] { ++reloadRequests; });
    speechVoices->updateSpeechVoices();
    EXPECT_EQ(reloadRequests, 1) << "an update is the engines' reload request";
    ::setenv("PATH", server.root().c_str(), 1);
    ::setenv("SPEECHD_ADDRESS", "unix_socket:/nonexistent/speechd.sock", 1);
    const auto listing = speechVoices->speechVoices();
    ::setenv("PATH", path.c_str(), 1);
    ::setenv("SPEECHD_ADDRESS", address.c_str(), 1);
    EXPECT_TRUE(listing.succeeded);
    EXPECT_TRUE(listing.failedModules.empty());
    EXPECT_EQ(voicesOf(listing),
              (std::vector<std::string>{"alpha/Jonas de-DE", "alpha/Max+ en-US",
                                        "alpha/Anna+Bert en-GB", "beta/Anna en-GB"}));

    // On SIGHUP the server re-reads its configuration; its modules take a moment to come back.
    server.configure({"alpha Kate en-GB", "alpha Olivia en-AU"});
    ASSERT_TRUE(server.signal(SIGHUP));
    const std::vector<std::string> expected = {"alpha/Kate en-GB", "alpha/Olivia en-AU"};
    std::vector<std::string> found;
    for (const auto deadline = Clock::now() + 10s; found != expected && Clock::now() < deadline;)
        found = voicesOf(speechVoices->speechVoices());
    EXPECT_EQ(found, expected);
}

struct PeerCase {
    const char* name;
    const char* server; // "peer" (scripted), "stopped" (real), else a starter script ("": none)
    std::vector<std::string> replies = {};
    std::vector<std::string> voices = {}; // "identifier language"; the listing succeeds with any
    std::vector<std::string> failedModules = {};
    std::chrono::milliseconds byteGap = 0ms; // between the bytes of each reply
    std::string endless = {};                // then this, over and over
};
void PrintTo(const PeerCase& c, std::ostream* out) {
    *out << c.name;
}
class SpeechServerFault : public testing::TestWithParam<PeerCase> {};

TEST_P(SpeechServerFault, ListsWhatItCanAndFailsWithinTheBound) {
    const auto& c = GetParam();
    PrivateServer server;
    server.configure({"alpha Kate en-GB"});
    if (c.server == std::string("stopped")) {
        ASSERT_TRUE(makeSpeechDispatcherVoices()->speechVoices().succeeded);
        ASSERT_TRUE(server.signal(SIGSTOP));
    }
    ::setenv("PATH", server.root().c_str(), 1); // holds nothing, or the case's starter
    if (*c.server && c.server != std::string("peer")) {
        std::ofstream(server.root() / "speech-dispatcher") << "#!/bin/sh\n" << c.server << "\n";
        fs::permissions(server.root() / "speech-dispatcher", fs::perms::owner_all);
    }
    std::optional<virelon::test::ScriptedPeer> peer;
    if (c.server == std::string("peer")) {
        ASSERT_TRUE(peer.emplace(server.socket(), c.replies, c.byteGap, c.endless).listening());
    }
    const auto start = Clock::now();
    const auto listing = makeSpeechDispatcherVoices()->speechVoices();
    EXPECT_LT(Clock::now() - start, promisedBound);
    EXPECT_EQ(listing.succeeded, !c.voices.empty());
    EXPECT_EQ(voicesOf(listing), c.voices);
    EXPECT_EQ(listing.failedModules, c.failedModules);
}

const std::string greeted = "208 OK CLIENT NAME SET\r\n";
const std::string twoModules = "250-alpha\r\n250-beta\r\n250 OK MODULE LIST SENT\r\n";
const std::string moduleSet = "216 OK OUTPUT MODULE SET\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, SpeechServerFault,
    testing::Values(
        PeerCase{"NoServerAndNoStarter", ""}, PeerCase{"StarterRefuses", "exit 1"},
        PeerCase{"StarterHangs", "/bin/sleep 5"}, PeerCase{"ServerStopped", "stopped"},
        PeerCase{"HangsUpAtOnce", "peer"},
        PeerCase{"AnswersOtherThanSsip", "peer", {greeted, "xyz\r\n"}},
        PeerCase{"BreaksOffAReply", "peer", {greeted, "2"}},
        PeerCase{"DiesInTheMiddleOfAVoiceList",
                 "peer",
                 {greeted, twoModules, moduleSet, "249-Kate\ten-GB\tnone\r\n249-Ka"}},
        // Each byte within the old per-reply wait, the whole far past the listing's bound.
        PeerCase{"Dribbles", "peer", {greeted, twoModules}, {}, {}, 150ms},
        PeerCase{"SendsALineWithoutEnd", "peer", {greeted}, {}, {}, 0ms, "x"},
        PeerCase{"SendsVoicesWithoutEnd",
                 "peer",
                 {greeted, twoModules, moduleSet},
                 {},
                 {},
                 0ms,
                 "249-Kate\ten-GB\tnone\r\n"},
        // One name for two languages is one identifier: the first is kept. A module that cannot
        // list is named, not taken for a module without voices.
        PeerCase{"OneModuleFailsAndANameRepeats",
                 "peer",
                 {greeted, twoModules, moduleSet,
                  "249-Kate\ten-GB\tnone\r\n249-Kate\tde-DE\tnone\r\n249 OK VOICE LIST SENT\r\n",
                  moduleSet, "300 ERR NO VOICES\r\n"},
                 {"alpha/Kate en-GB"},
                 {"beta"}}),
    [](const auto& tested) { return std::string(tested.param.name); });

} // namespace
