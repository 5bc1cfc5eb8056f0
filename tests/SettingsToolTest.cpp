// The command-line tool, run as a user would, against a private settings folder, the test
// session's bus and its speech server (testvoices' Kate, Kate+Loud, a variant, Jonas, Amélie and
// Diego, and two voices of a module named after the application identifier).

#include "FakeScreenServices.h"
#include "ScratchHome.h"
#include "SignalCounter.h"
#include "Subprocess.h"
#include "virelon/Identifiers.h"
#include "virelon/VirelonSharedSettings.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>

using virelon::test::runProgram;
using Environment = std::vector<std::pair<std::string, std::string>>;

namespace {

const std::string tool = VIRELON_SETTINGS_TOOL;

class SettingsTool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(signals.listening()) << "the test session has a bus"; }
    std::filesystem::path folder() const {
        return home.configHome() / std::string(virelon::identifiers::suiteName);
    }

    virelon::test::ScratchHome home;
    virelon::test::SignalCounter signals;
};

// In order, each run with its exit status, what it prints (on the error stream when it fails,
// then printing nothing else) and the change signals it sends; within loose "did not hang" bounds.
TEST_F(SettingsTool, EachCommandSaysWhatItDidAndSignalsEachChangeOnce) {
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string said;
        int signals = 0;
        Environment environment = {};
    } cases[] = {
        {{"get"},
         0,
         "intonation: 100 (default)\nheadSizePercent: 50 (default)\nvoicing: 100 "
         "(default)\nwordPause: 0 (default)\nphrasePause: 12 (default)\nfallbackVoiceIdentifier: "
         "none stored\n"},
        {{"set", "intonation", "130"},
         0,
         "intonation: 100 (you gave 130; settings range from 0 to 100)\n",
         1},
        {{"set", "headSizePercent", "-7"},
         0,
         "headSizePercent: 0 (you gave -7; settings range from 0 to 100)\n",
         1},
        {{"--json", "set", "voicing", "101"},
         0,
         "{\"key\":\"voicing\",\"value\":100,\"given\":101}\n",
         1},
        {{"get", "voicing", "--json"}, 0, "{\"key\":\"voicing\",\"value\":100,\"stored\":true}\n"},
        // Options end with "--"; after the command, -h and --help are values.
        {{"set", "fallbackVoiceIdentifier", "--help"}, 0, "fallbackVoiceIdentifier: --help\n", 1},
        {{"get", "--", "fallbackVoiceIdentifier"}, 0, "fallbackVoiceIdentifier: --help (stored)\n"},
        {{"set", "--", "fallbackVoiceIdentifier", "testvoices/Jonas"},
         0,
         "fallbackVoiceIdentifier: testvoices/Jonas\n",
         1},
        {{"--json", "--", "get", "fallbackVoiceIdentifier"},
         0,
         "{\"key\":\"fallbackVoiceIdentifier\",\"value\":\"testvoices/Jonas\",\"stored\":true}\n"},
        // Voices in the display order of the user's language, the stored one marked.
        {{"voices"},
         0,
         "English (United Kingdom), Kate: testvoices/Kate\nFrench (France), Amélie: "
         "testvoices/Amélie\nGerman (Germany), Jonas: testvoices/Jonas (stored)\nSpanish (Latin "
         "America), Diego: testvoices/Diego\n",
         0,
         {{"LANG", "en_US.UTF-8"}, {"LC_ALL", ""}}},
        {{"voices"},
         0,
         "Deutsch (Deutschland), Jonas: testvoices/Jonas (stored)\nEnglisch (Vereinigtes "
         "Königreich), Kate: testvoices/Kate\nFranzösisch (Frankreich), Amélie: "
         "testvoices/Amélie\nSpanisch (Lateinamerika), Diego: testvoices/Diego\n",
         0,
         {{"LANG", "de_DE.UTF-8"}, {"LC_ALL", ""}}},
        {{"voices"},
         1,
         "could not list its voices",
         0,
         {{"SPEECHD_ADDRESS", "unix_socket:" + (home.root() / "none").string()},
          {"PATH", home.root().string()}}},
        {{"reset", "intonation"}, 0, "intonation: removed, reads as its default 100\n", 1},
        {{"reset", "intonation"}, 0, "intonation: nothing stored, reads as its default 100\n"},
        {{"--json", "reset"},
         0,
         "[{\"key\":\"intonation\",\"removed\":false,\"value\":100},{\"key\":\"headSizePercent\","
         "\"removed\":true,\"value\":50},{\"key\":\"voicing\",\"removed\":true,\"value\":100},{"
         "\"key\":\"wordPause\",\"removed\":false,\"value\":0},{\"key\":\"phrasePause\","
         "\"removed\":false,\"value\":12},{\"key\":\"fallbackVoiceIdentifier\",\"removed\":true,"
         "\"value\":null}]\n",
         3},
        {{"--version"},
         0,
         "virelon-settings " + std::string(virelon::identifiers::version) + " (" +
             std::string(virelon::identifiers::buildNumber) + ")\n"},
        {{"path"}, 0, (folder() / "preferences.db").string() + "\n"},
        {{"reload-voices"},
         1,
         "session bus is not available",
         0,
         {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}}},
        // Bad usage; the fuzzers own the rules for numbers and text.
        {{}, 2, ""},
        {{"frobnicate"}, 2, ""},
        {{"--colour"}, 2, ""},
        {{"get", "headSize"}, 2, ""},
        {{"get", "intonation", "voicing"}, 2, ""},
        {{"set", "intonation"}, 2, ""},
        {{"set", "headSize", "40"}, 2, ""},
        {{"set", "intonation", "4.5"}, 2, ""},
        {{"path", "extra"}, 2, ""},
        {{"get", "--help"}, 2, ""},
        {{"reset", "headSize"}, 2, ""},
        {{"reset", "voicing", "wordPause"}, 2, ""},
        {{"reload-voices", "now"}, 2, ""},
        {{"set", "fallbackVoiceIdentifier", ""}, 2, ""},
        {{"set", "fallbackVoiceIdentifier", "m/Kate\n"}, 2, ""},
        {{"get", "fallbackVoiceIdentifier"}, 0, "fallbackVoiceIdentifier: none stored\n"},
    };
    int signalled = 0;
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const auto result = runProgram(tool, c.arguments, c.environment);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(result.status, c.status) << testing::PrintToString(c.arguments) << result.err;
        if (c.status == 0)
            EXPECT_EQ(result.out, c.said);
        else
            EXPECT_TRUE(result.out.empty() && result.err.find(c.said) < result.err.size())
                << result.out << result.err;
        EXPECT_EQ(signals.now(), signalled += c.signals);
    }
}

// Settings that cannot be read or written: exit 1 saying why, nothing else printed or signalled.
TEST_F(SettingsTool, StorageThatFailsExitsOneSayingWhy) {
    std::filesystem::create_directories(home.configHome());
    std::ofstream(folder()) << "a file where the folder belongs";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"set", "wordPause", "40"}, "could not be saved"},
        {{"get"}, "cannot read the settings at " + (folder() / "preferences.db").string()},
        {{"set", "fallbackVoiceIdentifier", "m/Kate"}, "could not be saved"},
        {{"get", "intonation"}, "cannot read the settings"}};
    for (const auto& [arguments, said] : cases) {
        if (&said ==
            &cases[2].second) { // A database whose every write runs a trigger that never ends.
            std::filesystem::remove(folder());
            std::filesystem::create_directories(folder());
            sqlite3* db = nullptr;
            sqlite3_open((folder() / "preferences.db").c_str(), &db);
            EXPECT_EQ(
                sqlite3_exec(db,
                             "CREATE TABLE preferences(key TEXT PRIMARY KEY NOT NULL, value ANY "
                             "NOT NULL) STRICT, WITHOUT ROWID; CREATE TRIGGER t BEFORE INSERT ON "
                             "preferences BEGIN SELECT count(*) FROM (WITH RECURSIVE c(x) AS "
                             "(SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT x FROM c); END",
                             nullptr, nullptr, nullptr),
                SQLITE_OK);
            sqlite3_close(db);
        }
        const auto start = std::chrono::steady_clock::now();
        const auto result = runProgram(tool, arguments);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(result.status, 1) << arguments[0];
        EXPECT_TRUE(result.out.empty() && result.err.find(said) < result.err.size()) << result.err;
    }
    EXPECT_EQ(signals.now(), 0);
}

TEST_F(SettingsTool, AnOutputThatCannotBeWrittenIsAFailure) {
    EXPECT_TRUE(runProgram(tool, {"--help"}).out.starts_with("Usage: virelon-settings"));
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
    // The tool refuses to store such a value; another program may have.
    ASSERT_TRUE(virelon::VirelonSharedSettings::setFallbackVoiceIdentifier(
        "m/K\x1b[2J\a\nintonation: 5 (stored)\\\xc2\x9b"));
    EXPECT_EQ(
        runProgram(tool, {"get", "fallbackVoiceIdentifier"}).out,
        "fallbackVoiceIdentifier: m/K\\x1B[2J\\x07\\nintonation: 5 (stored)\\\\\\u009B (stored)\n");
    EXPECT_EQ(runProgram(tool, {"--json", "get", "fallbackVoiceIdentifier"}).out,
              "{\"key\":\"fallbackVoiceIdentifier\",\"value\":\"m/K\\u001b[2J\\u0007\\nintonation: "
              "5 (stored)\\\\\u009b\",\"stored\":true}\n");
}

// The current settings first, then one block per change (a blank line between text blocks, one
// JSON document per line), also after a backup is put back with mv (the -wal and -shm of the file
// it replaces removed: they would belong to the new file); and a voice reload request, once per
// refresh of the screen (here in this process, finding no voices, so writing nothing) and once per
// reload-voices.
TEST_F(SettingsTool, WatchPrintsTheSettingsThenEachChangeUntilInterrupted) {
    for (const bool json : {true, false}) {
        const std::vector<std::string> prefix =
            json ? std::vector<std::string>{"--json"} : std::vector<std::string>{};
        const auto get = [&] {
            return (json ? "" : "\n") +
                   runProgram(tool, prefix.empty() ? std::vector<std::string>{"get"}
                                                   : std::vector<std::string>{"--json", "get"})
                       .out;
        };
        virelon::test::Subprocess watch(tool, prefix.empty()
                                                  ? std::vector<std::string>{"watch"}
                                                  : std::vector<std::string>{"--json", "watch"});
        ASSERT_TRUE(watch.waitFor("Watching", true));
        std::string expected = get().substr(json ? 0 : 1);
        ASSERT_EQ(runProgram(tool, {"set", "wordPause", json ? "33" : "34"}).status, 0);
        ASSERT_TRUE(watch.waitFor(expected += get()));
        if (!json) {
            const auto backup = home.root() / "backup";
            ASSERT_EQ(
                runProgram(tool, {"set", "voicing", "61"}, {{"XDG_CONFIG_HOME", backup.string()}})
                    .status,
                0);
            ASSERT_TRUE(watch.waitFor(expected += get())) << "its signal reaches the watch";
            for (const char* companion : {"-wal", "-shm"})
                std::filesystem::remove(folder() / (std::string("preferences.db") + companion));
            std::filesystem::rename(backup / folder().filename() / "preferences.db",
                                    folder() / "preferences.db");
            virelon::test::FakeServices fakes;
            virelon::ui::Runtime runtime;
            virelon::ContentView screen(runtime, fakes.services);
            runtime.update([&] { screen.refreshVoices(true); });
            // Posted after the request on the same connection, so it arrives after it.
            ASSERT_TRUE(virelon::VirelonSharedSettings::saveSetting(35, "phrasePause"));
            expected += "\nreloadVoices: requested\n" + get();
            ASSERT_TRUE(watch.waitFor(expected));
            EXPECT_NE(expected.find("voicing: 61 (stored)"), std::string::npos);
            EXPECT_EQ(runProgram(tool, {"reload-voices"}).out, "reloadVoices: requested\n");
            ASSERT_TRUE(watch.waitFor(expected += "\nreloadVoices: requested\n"));
        }
        watch.signal(SIGINT);
        const auto result = watch.finish(std::chrono::seconds(3));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, expected);
    }
}

// Commands, keys, and the identifiers that voices lists, with the words before the cursor read
// as the tool reads them.
TEST_F(SettingsTool, BashCompletesCommandsKeysAndVoiceIdentifiers) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"re"}, "reset\nreload-voices\n"},
        {{"--json", "reset", ""},
         "intonation\nheadSizePercent\nvoicing\nwordPause\nphrasePause\nfallbackVoiceIdentifier\n"},
        {{"set", "--", "fallbackVoiceIdentifier", "testvoices/"},
         "testvoices/Kate\ntestvoices/Amélie\ntestvoices/Jonas\ntestvoices/Diego\n"},
        {{"set", "intonation", ""}, ""}};
    for (const auto& [words, replies] : cases) {
        std::vector<std::string> arguments{
            "-c",
            "source \"$0\"; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _virelon_settings \"$1\"; "
            "printf '%s\\n' \"${COMPREPLY[@]}\" | grep .",
            VIRELON_BASH_COMPLETION, tool};
        arguments.insert(arguments.end(), words.begin(), words.end());
        EXPECT_EQ(runProgram("/bin/bash", arguments, {{"LANG", "en_US.UTF-8"}}).out, replies)
            << testing::PrintToString(words);
    }
}

} // namespace
