// The speech engine reads all six settings in a loop, in a process of its own, while the
// application writes. Every snapshot it takes must be a state the settings really passed through
// (so no error read as a default, no value out of range or never written, no mix of two moments)
// and snapshots must never go back in time.

#include "ScratchHome.h"
#include "SettingsFaultSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

using virelon::VirelonSharedSettings;
namespace test = virelon::test;

namespace {

TEST(SettingsConcurrency, AnEngineReadingWhileTwoThousandWritesRunSeesOnlyStatesThatWereWritten) {
    test::ScratchHome scratch;
    constexpr std::int64_t first = test::sequenceKeys; // every key written once before
    constexpr std::int64_t last = first + 2000 - 1;
    for (std::int64_t n = 0; n < first; ++n)
        ASSERT_TRUE(test::performWrite(n));

    test::Subprocess engine(test::faultHelper,
                            {"read-loop", std::to_string(first), std::to_string(last)});
    ASSERT_TRUE(engine.waitFor("reading\n"));
    int failed = 0;
    for (std::int64_t n = first; n <= last; ++n)
        failed += !test::performWrite(n);
    engine.signal(SIGTERM);
    const auto done = engine.finish();

    EXPECT_EQ(failed, 0) << "writes reported failed";
    ASSERT_EQ(done.status, 0) << done.err;
    std::istringstream report(done.out.substr(done.out.find('\n') + 1));
    std::string word;
    long reads = -1, bad = -1, backwards = -1;
    report >> word >> reads >> word >> bad >> word >> backwards;
    EXPECT_EQ(bad, 0) << done.out;
    EXPECT_EQ(backwards, 0) << done.out;
    // Enough reads that they interleaved with the writes many times over.
    EXPECT_GE(reads, 500) << done.out;
    RecordProperty("engineReads", static_cast<int>(reads));

    for (const auto& [state, n] : test::statesOfWrites(last, last)) {
        if (n == last) {
            EXPECT_EQ(test::stateOf(VirelonSharedSettings::voiceSettings()), state);
        }
    }
}

} // namespace
