// The engine's side, end to end: examples/engine-watch is configured and built against the
// installed tree only (by the CMake package, and by pkg-config), then shows each change the
// installed settings tool makes, and says so when there is no session bus.

#include "support/ScratchHome.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using virelon::test::runProgram;

namespace {

const fs::path libdir = VIRELON_STAGED_LIBDIR;
const std::string tool = VIRELON_STAGED_BINDIR "/virelon-settings";

class EngineExample : public ::testing::TestWithParam<bool> {
    virelon::test::ScratchHome scratch;
};

TEST_P(EngineExample, LinksTheInstalledLibraryAndPrintsEachChange) {
    const fs::path build =
        fs::path(VIRELON_TEST_BINARY_DIR) / "engine-watch" / (GetParam() ? "pkg-config" : "cmake");
    fs::remove_all(build);
    // The installed library of a sanitized build is instrumented: its runtime comes along.
    const std::string sanitize = VIRELON_TEST_SANITIZE ? "-fsanitize=address,undefined" : "";
    // The pkg-config file names the installed prefix: the staged tree is its system root.
    const std::vector<std::pair<std::string, std::string>> environment{
        {"PKG_CONFIG_PATH", (libdir / "pkgconfig").string()},
        {"PKG_CONFIG_SYSROOT_DIR", VIRELON_STAGE}};
    for (const auto& arguments :
         {std::vector<std::string>{
              "-S", VIRELON_EXAMPLE_DIR, "-B", build.string(), "-G", "Ninja",
              "-DCMAKE_C_COMPILER=" VIRELON_C_COMPILER,
              // Each lookup on its own: the package's prefix would also let pkg-config's
              // library be found elsewhere than where its file says.
              GetParam() ? "-DENGINE_WATCH_USE_PKG_CONFIG=ON"
                         : "-DCMAKE_PREFIX_PATH=" VIRELON_STAGED_PREFIX,
              "-DCMAKE_C_FLAGS=-Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Werror " +
                  sanitize,
              "-DCMAKE_EXE_LINKER_FLAGS=" + sanitize},
          std::vector<std::string>{"--build", build.string()}}) {
        const auto result = runProgram(VIRELON_CMAKE, arguments, environment);
        ASSERT_EQ(result.status, 0) << result.out << result.err;
    }
    const auto program = (build / "engine-watch").string();
    const auto dynamic = runProgram("/usr/bin/readelf", {"-d", program}).out;
    EXPECT_NE(dynamic.find("[libvirelon-settings.so."), std::string::npos) << dynamic;
    // Found through the installed tree, not the build tree it was staged from.
    EXPECT_NE(dynamic.find(libdir.string()), std::string::npos) << dynamic;
    EXPECT_EQ(dynamic.find(VIRELON_PROJECT_BINARY_DIR "/Shared"), std::string::npos) << dynamic;

    virelon::test::Subprocess watcher(program, {});
    // The first line comes after the subscription is in place.
    ASSERT_TRUE(watcher.waitFor("intonation=100 ")) << "defaults first";
    ASSERT_EQ(runProgram(tool, {"set", "intonation", "42"}).status, 0);
    EXPECT_TRUE(watcher.waitFor("intonation=42 headSizePercent=50 "));
    ASSERT_EQ(runProgram(tool, {"set", "fallbackVoiceIdentifier", "testvoices/Kate"}).status, 0);
    EXPECT_TRUE(watcher.waitFor("intonation=42 headSizePercent=50 voicing=100 wordPause=0 "
                                "phrasePause=12 fallbackVoiceIdentifier=testvoices/Kate\n"));
    ASSERT_EQ(runProgram(tool, {"reload-voices"}).status, 0);
    EXPECT_TRUE(watcher.waitFor("reloadVoices: re-scanning the voices\n"));
    watcher.signal(SIGTERM);
    EXPECT_EQ(watcher.finish().status, 0);

    const auto noBus =
        runProgram(program, {}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
    EXPECT_EQ(noBus.status, 1);
    EXPECT_NE(noBus.err.find("session bus is not available"), std::string::npos) << noBus.err;
    EXPECT_EQ(noBus.out, "");
}

INSTANTIATE_TEST_SUITE_P(Lookups, EngineExample, ::testing::Bool(), [](const auto& tested) {
    return tested.param ? "PkgConfig" : "CMakePackage";
});

} // namespace
