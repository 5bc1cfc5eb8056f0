// The command-line tool, run as a user would, against a private settings folder and the test
// session's bus.

#include "FakeScreenServices.h"
#include "ScratchHome.h"
#include "SettingsSignal.h"
#include "SignalCounter.h"
#include "Subprocess.h"
#include "virelon/Identifiers.h"
#include "virelon/VirelonSharedSettings.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <fstream>
#include <functional>

using virelon::test::runProgram;

namespace {

const std::string tool = VIRELON_SETTINGS_TOOL;

class SettingsTool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(signals.listening()) << "the test session has a bus"; }
    int signalsNow() { return signals.now(); }

    virelon::test::ScratchHome home;
    virelon::test::SignalCounter signals;
};

TEST_F(SettingsTool, FreshSettingsReadAsDefaults) {
    const auto result = runProgram(tool, {"get"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "intonation: 100 (default)\n"
                          "headSizePercent: 50 (default)\n"
                          "voicing: 100 (default)\n"
                          "wordPause: 0 (default)\n"
                          "phrasePause: 12 (default)\n"
                          "fallbackVoiceIdentifier: none stored\n");
}

TEST_F(SettingsTool, SetStoresClampedValuesAndSignalsOncePerWrite) {
    const struct {
        std::vector<std::string> set;
        std::string said;
        std::vector<std::string> get;
        std::string read;
    } cases[] = {
        {{"set", "intonation", "130"},
         "intonation: 100 (you gave 130; settings range from 0 to 100)\n",
         {"get", "intonation"},
         "intonation: 100 (stored)\n"},
        {{"set", "headSizePercent", "-7"},
         "headSizePercent: 0 (you gave -7; settings range from 0 to 100)\n",
         {"get", "headSizePercent"},
         "headSizePercent: 0 (stored)\n"},
        {{"set", "phrasePause", "+007"},
         "phrasePause: 7\n",
         {"get", "phrasePause"},
         "phrasePause: 7 (stored)\n"},
        {{"set", "fallbackVoiceIdentifier", "testvoices/Kate"},
         "fallbackVoiceIdentifier: testvoices/Kate\n",
         {"get", "fallbackVoiceIdentifier"},
         "fallbackVoiceIdentifier: testvoices/Kate (stored)\n"},
        {{"--json", "set", "voicing", "101"},
         "{\"key\":\"voicing\",\"value\":100,\"given\":101}\n",
         {"get", "voicing", "--json"},
         "{\"key\":\"voicing\",\"value\":100,\"stored\":true}\n"},
        // Options end with "--"; after the command, -h and --help are values.
        {{"set", "fallbackVoiceIdentifier", "--help"},
         "fallbackVoiceIdentifier: --help\n",
         {"get", "--", "fallbackVoiceIdentifier"},
         "fallbackVoiceIdentifier: --help (stored)\n"},
        {{"set", "--", "fallbackVoiceIdentifier", "--json"},
         "fallbackVoiceIdentifier: --json\n",
         {"--json", "--", "get", "fallbackVoiceIdentifier"},
         "{\"key\":\"fallbackVoiceIdentifier\",\"value\":\"--json\",\"stored\":true}\n"},
    };
    int expectedSignals = 0;
    for (const auto& c : cases) {
        const auto set = runProgram(tool, c.set);
        EXPECT_EQ(set.status, 0) << set.err;
        EXPECT_EQ(set.out, c.said);
        EXPECT_EQ(signalsNow(), ++expectedSignals);
        const auto get = runProgram(tool, c.get);
        EXPECT_EQ(get.out, c.read);
    }
}

TEST_F(SettingsTool, BadUsageIsRefusedWithoutStoringOrSignalling) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"--colour"},
        {"get", "headSize"},
        {"get", "intonation", "voicing"},
        {"set", "intonation"},
        {"set", "headSize", "40"},
        {"set", "intonation", "4.5"},
        {"set", "intonation", " 42"},
        {"set", "intonation", ""},
        {"set", "intonation", "+"},
        {"set", "intonation", "99999999999999999999"},
        {"set", "intonation", "0x10"},
        {"path", "extra"},
        {"get", "--help"},
        {"reset", "headSize"},
        {"reset", "voicing", "wordPause"},
        {"reload-voices", "now"},
        {"set", "fallbackVoiceIdentifier", ""},
        {"set", "fallbackVoiceIdentifier", "m/Kate\n"},
        {"set", "fallbackVoiceIdentifier", "m/\x7f"},
        {"set", "fallbackVoiceIdentifier", "m/\xc2\x85"}, // U+0085, a C1 control
        {"set", "fallbackVoiceIdentifier", "m/\xe9"},     // Latin-1, not UTF-8
    };
    for (const auto& arguments : cases) {
        const auto result = runProgram(tool, arguments);
        EXPECT_EQ(result.status, 2) << testing::PrintToString(arguments);
        EXPECT_FALSE(result.err.empty());
        EXPECT_TRUE(result.out.empty());
    }
    EXPECT_EQ(signalsNow(), 0);
    EXPECT_EQ(runProgram(tool, {"get", "intonation"}).out, "intonation: 100 (default)\n");
    EXPECT_EQ(runProgram(tool, {"get", "fallbackVoiceIdentifier"}).out,
              "fallbackVoiceIdentifier: none stored\n");
}

// What cannot be done exits 1, says why on the error stream, prints nothing else and signals
// nothing, within the bounds of the settings and the speech server.
TEST_F(SettingsTool, WhatCannotBeDoneExitsOneSayingWhy) {
    const auto folder = home.configHome() / std::string(virelon::identifiers::suiteName);
    const auto file = folder / "preferences.db";
    const auto database = [&](const char* sql) {
        std::filesystem::create_directories(folder);
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    const std::string ours = "CREATE TABLE preferences(key TEXT PRIMARY KEY NOT NULL, value ANY "
                             "NOT NULL) STRICT, WITHOUT ROWID; ";
    const struct {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> arguments;
        std::string said;
        std::vector<std::pair<std::string, std::string>> environment = {};
    } cases[] = {
        {"no folder can be made",
         [&] {
             std::filesystem::create_directories(home.configHome());
             std::ofstream(folder) << "a file";
         },
         {"set", "wordPause", "40"},
         "could not be saved"},
        {"no folder can be made", [] {}, {"get"}, "cannot read the settings at " + file.string()},
        {"a trigger that never ends",
         [&] {
             std::filesystem::remove(folder);
             database((ours + "CREATE TRIGGER t BEFORE INSERT ON preferences BEGIN SELECT "
                              "count(*) FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT "
                              "x + 1 FROM c) SELECT x FROM c); END")
                          .c_str());
         },
         {"set", "fallbackVoiceIdentifier", "m/Kate"},
         "could not be saved"},
        {"a trigger that never ends", [] {}, {"get", "intonation"}, "cannot read the settings"},
        {"no speech server",
         [] {},
         {"voices"},
         "could not list its voices",
         {{"SPEECHD_ADDRESS", "unix_socket:" + (home.root() / "none").string()},
          {"PATH", home.root().string()}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + (" " + c.arguments[0]));
        c.arrange();
        const auto start = std::chrono::steady_clock::now();
        const auto result = runProgram(tool, c.arguments, c.environment);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(signalsNow(), 0);
}

TEST_F(SettingsTool, ResetRemovesStoredValuesWithOneSignalEach) {
    ASSERT_EQ(runProgram(tool, {"set", "intonation", "5"}).status, 0);
    ASSERT_EQ(runProgram(tool, {"set", "fallbackVoiceIdentifier", "testvoices/Kate"}).status, 0);
    const struct {
        std::vector<std::string> reset;
        std::string said;
        int signals;
    } cases[] = {
        {{"reset", "intonation"}, "intonation: removed, reads as its default 100\n", 1},
        {{"reset", "intonation"}, "intonation: nothing stored, reads as its default 100\n", 0},
        {{"--json", "reset"},
         "[{\"key\":\"intonation\",\"removed\":false,\"value\":100},"
         "{\"key\":\"headSizePercent\",\"removed\":false,\"value\":50},"
         "{\"key\":\"voicing\",\"removed\":false,\"value\":100},"
         "{\"key\":\"wordPause\",\"removed\":false,\"value\":0},"
         "{\"key\":\"phrasePause\",\"removed\":false,\"value\":12},"
         "{\"key\":\"fallbackVoiceIdentifier\",\"removed\":true,\"value\":null}]\n",
         1},
    };
    int expectedSignals = signalsNow();
    for (const auto& c : cases) {
        const auto result = runProgram(tool, c.reset);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.said);
        EXPECT_EQ(signalsNow(), expectedSignals += c.signals);
    }
    EXPECT_EQ(runProgram(tool, {"get"}).out.find("(stored)"), std::string::npos);
}

TEST_F(SettingsTool, AnOutputThatCannotBeWrittenIsAFailure) {
    for (const auto& command : {"get", "--help", "path", "reload-voices"}) {
        const auto result =
            runProgram("/bin/sh", {"-c", "exec \"$0\" $1 >/dev/full", tool, command});
        EXPECT_EQ(result.status, 1) << command;
        EXPECT_NE(result.err.find("could not write to standard output"), std::string::npos)
            << command << result.err;
    }
}

// Text that reaches the terminal cannot move the cursor, ring or forge a line; JSON stays exact.
TEST_F(SettingsTool, ControlCharactersAreEscapedInTextAndExactInJson) {
    const std::string forged = "m/K\x1b[2J\a\nintonation: 5 (stored)\\\xc2\x9b";
    const std::string escaped = "m/K\\x1B[2J\\x07\\nintonation: 5 (stored)\\\\\\u009B";
    // The tool refuses to store such a value; another program may have.
    ASSERT_TRUE(virelon::VirelonSharedSettings::setFallbackVoiceIdentifier(forged));
    EXPECT_EQ(runProgram(tool, {"get", "fallbackVoiceIdentifier"}).out,
              "fallbackVoiceIdentifier: " + escaped + " (stored)\n");
    EXPECT_EQ(runProgram(tool, {"--json", "get", "fallbackVoiceIdentifier"}).out,
              "{\"key\":\"fallbackVoiceIdentifier\",\"value\":\"m/K\\u001b[2J\\u0007\\nintonation: "
              "5 (stored)\\\\\u009b\",\"stored\":true}\n");
}

TEST_F(SettingsTool, HelpVersionAndPath) {
    const auto help = runProgram(tool, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: virelon-settings"), std::string::npos);
    const auto version = runProgram(tool, {"--version"});
    EXPECT_EQ(version.out, "virelon-settings " + std::string(virelon::identifiers::version) + " (" +
                               std::string(virelon::identifiers::buildNumber) + ")\n");
    const auto path = runProgram(tool, {"path"});
    EXPECT_EQ(path.out,
              (home.configHome() / std::string(virelon::identifiers::suiteName) / "preferences.db")
                      .string() +
                  "\n");
}

// The test session's speech server lists testvoices' Kate, Kate+Loud (a variant), Jonas, Amélie
// and Diego, and two voices of a module named after the application identifier.
TEST_F(SettingsTool, VoicesListsTheFallbackVoicesInDisplayOrderMarkingTheStoredOne) {
    ASSERT_EQ(runProgram(tool, {"set", "fallbackVoiceIdentifier", "testvoices/Jonas"}).status, 0);
    const struct {
        const char* lang;
        std::string listing;
    } cases[] = {
        {"en_US.UTF-8", "English (United Kingdom), Kate: testvoices/Kate\n"
                        "French (France), Amélie: testvoices/Amélie\n"
                        "German (Germany), Jonas: testvoices/Jonas (stored)\n"
                        "Spanish (Latin America), Diego: testvoices/Diego\n"},
        {"de_DE.UTF-8", "Deutsch (Deutschland), Jonas: testvoices/Jonas (stored)\n"
                        "Englisch (Vereinigtes Königreich), Kate: testvoices/Kate\n"
                        "Französisch (Frankreich), Amélie: testvoices/Amélie\n"
                        "Spanisch (Lateinamerika), Diego: testvoices/Diego\n"},
    };
    for (const auto& [lang, listing] : cases) {
        const auto result = runProgram(tool, {"voices"}, {{"LANG", lang}, {"LC_ALL", ""}});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, listing) << lang;
    }
}

// The current settings first, then one block per change: a blank line between text blocks, one
// JSON document per line.
TEST_F(SettingsTool, WatchPrintsTheSettingsThenEachChangeUntilInterrupted) {
    for (const bool json : {false, true}) {
        const std::vector<std::string> prefix =
            json ? std::vector<std::string>{"--json"} : std::vector<std::string>{};
        auto withPrefix = [&](std::vector<std::string> words) {
            words.insert(words.begin(), prefix.begin(), prefix.end());
            return words;
        };
        const std::string between = json ? "" : "\n";
        virelon::test::Subprocess watch(tool, withPrefix({"watch"}));
        ASSERT_TRUE(watch.waitFor("Watching", true));
        std::string expected = runProgram(tool, withPrefix({"get"})).out;
        for (const auto* value : {"33", "34"}) {
            ASSERT_EQ(runProgram(tool, {"set", "wordPause", value}).status, 0);
            expected += between + runProgram(tool, withPrefix({"get"})).out;
            ASSERT_TRUE(watch.waitFor(expected));
        }
        watch.signal(SIGINT);
        const auto result = watch.finish(std::chrono::seconds(3));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, expected);
    }
}

// A backup put back with mv (the -wal and -shm of the file it replaces removed: they would belong
// to the new file) is what the next change shows.
TEST_F(SettingsTool, WatchTakesUpAFilePutInPlaceOfTheOld) {
    ASSERT_EQ(runProgram(tool, {"set", "wordPause", "33"}).status, 0);
    virelon::test::Subprocess watch(tool, {"watch"});
    ASSERT_TRUE(watch.waitFor("Watching", true));
    const auto backup = home.root() / "backup";
    ASSERT_EQ(
        runProgram(tool, {"set", "voicing", "61"}, {{"XDG_CONFIG_HOME", backup.string()}}).status,
        0);
    const auto folder = std::string(virelon::identifiers::suiteName) + "/preferences.db";
    for (const char* companion : {"-wal", "-shm"})
        std::filesystem::remove(home.configHome() / (folder + companion));
    std::filesystem::rename(backup / folder, home.configHome() / folder);
    ASSERT_EQ(runProgram(tool, {"set", "phrasePause", "35"}).status, 0);
    ASSERT_TRUE(watch.waitFor("voicing: 61 (stored)\n"));
    watch.signal(SIGINT);
    EXPECT_EQ(watch.finish(std::chrono::seconds(3)).status, 0);
}

// Commands, keys, and the identifiers that voices lists, with the words before the cursor read
// as the tool reads them.
TEST_F(SettingsTool, BashCompletesCommandsKeysAndVoiceIdentifiers) {
    const struct {
        std::vector<std::string> words;
        std::string replies;
    } cases[] = {
        {{"re"}, "reset\nreload-voices\n"},
        {{"--json", "get", "head"}, "headSizePercent\n"},
        {{"reset", ""},
         "intonation\nheadSizePercent\nvoicing\nwordPause\nphrasePause\nfallbackVoiceIdentifier\n"},
        {{"set", "--", "fallbackVoiceIdentifier", "testvoices/"},
         "testvoices/Kate\ntestvoices/Amélie\ntestvoices/Jonas\ntestvoices/Diego\n"},
        {{"set", "fallbackVoiceIdentifier", "testvoices/J"}, "testvoices/Jonas\n"},
        {{"set", "intonation", ""}, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{
            "-c",
            "source \"$0\"; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); "
            "_virelon_settings \"$1\"; printf '%s\\n' \"${COMPREPLY[@]}\" | grep .",
            VIRELON_BASH_COMPLETION, tool};
        arguments.insert(arguments.end(), c.words.begin(), c.words.end());
        const auto result = runProgram("/bin/bash", arguments, {{"LANG", "en_US.UTF-8"}});
        EXPECT_EQ(result.out, c.replies) << testing::PrintToString(c.words) << result.err;
    }
}

// The request travels to another process: once per refresh of the screen (here in this process,
// finding no voices, so writing nothing), and once per reload-voices.
TEST_F(SettingsTool, RefreshAndReloadVoicesEachAskTheEngineOnce) {
    virelon::test::Subprocess watch(tool, {"watch"});
    ASSERT_TRUE(watch.waitFor("Watching", true));
    const std::string request = "\nreloadVoices: requested\n";
    std::string expected = runProgram(tool, {"get"}).out + request;
    virelon::test::FakeServices fakes;
    virelon::ui::Runtime runtime;
    virelon::ContentView screen(runtime, fakes.services);
    runtime.update([&] { screen.refreshVoices(true); });
    // Posted after the request on the same connection, so it arrives after it.
    ASSERT_TRUE(virelon::VirelonSharedSettings::saveSetting(7, "wordPause"));
    expected += "\n" + runProgram(tool, {"get"}).out;
    ASSERT_TRUE(watch.waitFor(expected));
    const auto reload = runProgram(tool, {"reload-voices"});
    EXPECT_EQ(reload.status, 0) << reload.err;
    EXPECT_EQ(reload.out, request.substr(1));
    ASSERT_TRUE(watch.waitFor(expected += request));
    watch.signal(SIGINT);
    EXPECT_EQ(watch.finish(std::chrono::seconds(3)).out, expected);

    const auto noBus = runProgram(tool, {"reload-voices"},
                                  {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
    EXPECT_EQ(noBus.status, 1);
    EXPECT_NE(noBus.err.find("session bus is not available"), std::string::npos) << noBus.err;
}

} // namespace
