// Killed writers and concurrent readers. Round after round on the same file, a process writing
// through the shared settings is killed with SIGKILL at a random instant of a storm of writes,
// while this process reads all six settings in a loop as the engine does. Every snapshot must be
// a state the writes passed through (no error read as a default, no mix of two moments), never an
// older one than before; after the kill, every write reported saved is there, the one in flight
// may or may not have landed, nothing else has; the file passes SQLite's integrity check. And a
// process that forks while it reads.

#include "support/ScratchHome.h"
#include "support/SettingsFaultSupport.h"
#include "support/SignalCounter.h"
#include "virelon/SettingsPlatform.h"

#include <atomic>
#include <random>
#include <thread>

#include <sys/wait.h>

namespace test = virelon::test;

// Started by a test acting as an unprivileged user, the process's real and effective users
// differ: it may then not read its own environment's sanitizer options, and LeakSanitizer cannot
// stop its threads to look for leaks. Only then is leak checking off.
extern "C" const char* __asan_default_options() {
    return ::getuid() != ::geteuid() ? "detect_leaks=0" : "";
}

int main(int argc, char** argv) {
    if (argc > 2 && argv[1] == std::string("--role"))
        return test::playRole(argv + 2);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

namespace {

TEST(SettingsCrash, ReadersSeeOnlyWrittenStatesAndSavedWritesSurviveTheWriterBeingKilled) {
    test::ScratchHome scratch;
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("random seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::array<std::int64_t, test::sequenceKeys> landed; // the newest write known to have landed
    landed.fill(-1);
    const auto saved = [&] {
        auto state = test::stateAfter(-1);
        for (std::size_t key = 0; key < state.size(); ++key)
            state[key] = landed[key] < 0 ? state[key] : test::valueOfWrite(landed[key]);
        return state;
    };
    int rounds = 50, roundsWithWrites = 0, reads = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::int64_t first = round * std::int64_t{1'000'000};
        const auto base = saved();
        const auto stateAt = [&](std::int64_t n) { // after writes first..n of this round
            auto state = base;
            for (auto m = std::max(first, n - test::sequenceKeys + 1); m <= n; ++m)
                state[static_cast<std::size_t>(m % test::sequenceKeys)] = test::valueOfWrite(m);
            return state;
        };
        test::Subprocess writer(test::self, {"--role", "write", std::to_string(first),
                                             std::to_string(first + 999'999)});
        // Even rounds kill at any moment from the start (loading, opening or creating the file,
        // the first writes); odd ones in the middle of the storm.
        if (round % 2 == 1) {
            ASSERT_TRUE(writer.waitFor("\n")) << "the writer never wrote";
        }
        const auto killAt =
            test::Clock::now() + std::chrono::microseconds(std::uniform_int_distribution(
                                     0, round % 2 ? 20'000 : 150'000)(random));
        for (std::int64_t newest = first - 1; test::Clock::now() < killAt; ++reads) {
            const auto state = test::stateNow();
            const std::int64_t voice =
                state[5].starts_with("voice/") ? std::stoll(state[5].substr(6)) : -1;
            const auto start = voice >= first ? voice : first - 1;
            auto n = std::max(newest, start);
            while (n < start + test::sequenceKeys && stateAt(n) != state)
                ++n;
            ASSERT_LT(n, start + test::sequenceKeys)
                << "read a state never written or an older one";
            newest = n;
        }
        writer.signal(SIGKILL);
        const auto killed = writer.finish();
        ASSERT_EQ(killed.out.find("failed"), std::string::npos) << killed.err;

        // Every complete line is a write that reported saved; the next one may be in flight.
        std::istringstream lines(killed.out.substr(0, killed.out.rfind('\n') + 1));
        std::int64_t n = first - 1;
        for (std::string line; std::getline(lines, line);) {
            ++n;
            ASSERT_EQ(std::stoll(line), n) << "writes reported out of order";
            landed[static_cast<std::size_t>(n % test::sequenceKeys)] = n;
        }
        roundsWithWrites += n >= first;
        if (!std::filesystem::exists(test::settingsFile())) {
            ASSERT_LT(n, first) << "writes reported saved, but there is no file";
            continue;
        }
        EXPECT_EQ(test::RawDb(test::settingsFile()).text("PRAGMA integrity_check"), "ok");
        const auto now = test::stateNow();
        const auto inFlight = static_cast<std::size_t>((n + 1) % test::sequenceKeys);
        if (now[inFlight] == test::valueOfWrite(n + 1))
            landed[inFlight] = n + 1; // it landed, and is now as durable as any other
        EXPECT_EQ(now, saved()) << "write " << n + 1 << " was in flight";
    }
    EXPECT_GE(roundsWithWrites, rounds / 2) << "too few kills hit the storm";
    RecordProperty("reads", reads);
    EXPECT_EQ(test::readInAnotherProcess(), test::stateNow()); // the engine starting up
}

// A process forks while another of its threads reads all the time (a speech server starting a
// worker): each child has settings of its own, reads, writes and signals within a bound, and the
// parent goes on as before. A child that hangs is ended by its alarm; its status says what failed.
TEST(SettingsCrash, AChildOfAForkWhileAThreadReadsHasSettingsOfItsOwn) {
    using virelon::VirelonSharedSettings;
    test::ScratchHome scratch;
    test::SignalCounter signals;
    ASSERT_TRUE(signals.listening());
    ASSERT_TRUE(VirelonSharedSettings::saveSetting(0, "wordPause"));
    std::atomic<bool> reading = true;
    std::atomic<long> reads = 0;
    std::thread reader([&] {
        while (reading) {
            VirelonSharedSettings::voiceSettings();
            ++reads;
        }
    });
    const int forks = 100;
    for (int i = 1; i <= forks; ++i) {
        for (const auto seen = reads.load(); reads < seen + 2;) { // forks amid reading
        }
        std::fflush(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(5);
            if (VirelonSharedSettings::wordPause() != i - 1)
                ::_exit(1);
            if (!VirelonSharedSettings::saveSetting(i, "wordPause"))
                ::_exit(2);
            ::_exit(virelon::detail::takePostOutcome() == virelon::platform::Posted::sent ? 0 : 3);
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_EQ(VirelonSharedSettings::wordPause(), status == 0 ? i : i - 1);
        if (status != 0) {
            ADD_FAILURE() << "fork " << i << ": status " << status
                          << " (256 read, 512 write, 768 signal, 14 hung)";
            break;
        }
    }
    reading = false;
    reader.join();
    EXPECT_EQ(signals.now(), forks + 1);
}

} // namespace
