// The engine's side, end to end: examples/engine-watch is configured and built against the
// installed tree only (by the CMake package, and by pkg-config), then shows each change the
// settings tool makes.

#include "ScratchHome.h"
#include "Subprocess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using virelon::test::runProgram;
using virelon::test::Subprocess;

namespace {

const fs::path prefix = VIRELON_STAGED_PREFIX;
const fs::path libdir = VIRELON_STAGED_LIBDIR;
const std::string tool = VIRELON_SETTINGS_TOOL;

struct Lookup {
    const char* name;
    bool pkgConfig;
};

/// Configures and builds the example in a fresh folder of the current test's own; the program's
/// path, or "" on failure (with the reason recorded as a test failure).
fs::path buildExample(const Lookup& lookup) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string folder = std::string(test->test_suite_name()) + "." + test->name();
    for (auto& c : folder)
        c = c == '/' ? '.' : c;
    const fs::path build = fs::path(VIRELON_TEST_BINARY_DIR) / "engine-watch" / folder;
    fs::remove_all(build);
    std::string flags = "-Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Werror";
    std::string linkFlags;
    if (VIRELON_TEST_SANITIZE) {
        // The installed library is instrumented: its runtime must come with the program.
        flags += " -fsanitize=address,undefined";
        linkFlags = "-fsanitize=address,undefined";
    }
    const std::vector<std::pair<std::string, std::string>> environment{
        {"PKG_CONFIG_PATH", (libdir / "pkgconfig").string()}};
    const auto configure = runProgram(
        VIRELON_CMAKE,
        {"-S", VIRELON_EXAMPLE_DIR, "-B", build.string(), "-G", "Ninja",
         "-DCMAKE_C_COMPILER=" VIRELON_C_COMPILER, "-DCMAKE_PREFIX_PATH=" + prefix.string(),
         std::string("-DENGINE_WATCH_USE_PKG_CONFIG=") + (lookup.pkgConfig ? "ON" : "OFF"),
         "-DCMAKE_C_FLAGS=" + flags, "-DCMAKE_EXE_LINKER_FLAGS=" + linkFlags},
        environment);
    if (configure.status != 0) {
        ADD_FAILURE() << "configuring failed:\n" << configure.out << configure.err;
        return {};
    }
    const auto compile = runProgram(VIRELON_CMAKE, {"--build", build.string()}, environment);
    if (compile.status != 0) {
        ADD_FAILURE() << "building failed:\n" << compile.out << compile.err;
        return {};
    }
    return build / "engine-watch";
}

void PrintTo(const Lookup& lookup, std::ostream* out) {
    *out << lookup.name;
}

class EngineExample : public ::testing::TestWithParam<Lookup> {
protected:
    virelon::test::ScratchHome scratch;
};

TEST_P(EngineExample, LinksTheInstalledLibrary) {
    const auto program = buildExample(GetParam());
    ASSERT_FALSE(program.empty());
    const auto dynamic = runProgram("/usr/bin/readelf", {"-d", program.string()});
    ASSERT_EQ(dynamic.status, 0) << dynamic.err;
    EXPECT_NE(dynamic.out.find("[libvirelon-settings.so."), std::string::npos) << dynamic.out;
    // Found through the installed tree, not the build tree it was staged from.
    EXPECT_NE(dynamic.out.find(libdir.string()), std::string::npos) << dynamic.out;
    EXPECT_EQ(dynamic.out.find(VIRELON_PROJECT_BINARY_DIR "/Shared"), std::string::npos)
        << dynamic.out;
}

TEST_P(EngineExample, PrintsTheSettingsEachTimeTheyChange) {
    const auto program = buildExample(GetParam());
    ASSERT_FALSE(program.empty());

    Subprocess watcher(program.string(), {});
    // The first line comes after the subscription is in place.
    ASSERT_TRUE(watcher.waitFor("intonation=100 ")) << "defaults first";

    const auto intonation = runProgram(tool, {"set", "intonation", "42"});
    ASSERT_EQ(intonation.status, 0) << intonation.err;
    EXPECT_TRUE(watcher.waitFor("intonation=42 headSizePercent=50 "));

    const auto voice = runProgram(tool, {"set", "fallbackVoiceIdentifier", "testvoices/Kate"});
    ASSERT_EQ(voice.status, 0) << voice.err;
    EXPECT_TRUE(watcher.waitFor("intonation=42 headSizePercent=50 voicing=100 wordPause=0 "
                                "phrasePause=12 fallbackVoiceIdentifier=testvoices/Kate\n"));

    ASSERT_EQ(runProgram(tool, {"reload-voices"}).status, 0);
    EXPECT_TRUE(watcher.waitFor("reloadVoices: re-scanning the voices\n"));

    watcher.signal(SIGTERM);
    const auto finished = watcher.finish();
    EXPECT_EQ(finished.status, 0) << finished.err;
}

INSTANTIATE_TEST_SUITE_P(Lookups, EngineExample,
                         ::testing::Values(Lookup{"CMakePackage", false},
                                           Lookup{"PkgConfig", true}),
                         [](const auto& tested) { return std::string(tested.param.name); });

TEST(EngineExampleWithoutBus, SaysSoAndFails) {
    const auto program = buildExample({"NoBus", false});
    ASSERT_FALSE(program.empty());
    const auto result = runProgram(program.string(), {},
                                   {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("session bus is not available"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

} // namespace
