// The command-line tool, run as a user would, against a private settings folder, the test
// session's bus and its speech server (testvoices' Kate, Kate+Loud, a variant, Jonas, Amélie and
// Diego, and two voices of a module named after the application identifier).

#include "support/ScratchHome.h"
#include "support/SignalCounter.h"
#include "support/SilentSocket.h"
#include "support/Subprocess.h"
#include "virelon/Identifiers.h"
#include "virelon/VirelonSharedSettings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using Environment = std::vector<std::pair<std::string, std::string>>;

// The tool with `line` split at spaces ("''" for an empty word), after variables ("NAME=value").
virelon::test::Finished run(const std::string& line, Environment environment = {}) {
    std::vector<std::string> words{"-c", "exec \"$0\" \"$@\"", VIRELON_SETTINGS_TOOL};
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        if (words.size() == 3 && word.find('=') != std::string::npos)
            environment.emplace_back(word.substr(0, word.find('=')),
                                     word.substr(word.find('=') + 1));
        else if (word == ">/dev/full")
            words[1] += " >/dev/full";
        else
            words.push_back(word == "''" ? "" : word);
    }
    return virelon::test::runProgram("/bin/sh", words, environment);
}

class SettingsTool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(signals.listening()) << "the test session has a bus"; }
    std::filesystem::path file() const {
        return home.configHome() / std::string(virelon::identifiers::suiteName) / "preferences.db";
    }

    virelon::test::ScratchHome home;
    virelon::test::SignalCounter signals;
};

const std::string defaults = R"(intonation: 100 (default)
headSizePercent: 50 (default)
voicing: 100 (default)
wordPause: 0 (default)
phrasePause: 12 (default)
fallbackVoiceIdentifier: none stored
)";

// In order, each run with its exit status, what it prints (on the error stream when it fails,
// then printing nothing else; its output, then its messages, otherwise) and the change signals
// it sends, within loose "did not hang" bounds; last, a file where the settings folder belongs.
TEST_F(SettingsTool, EachCommandSaysWhatItDidAndSignalsEachChangeOnce) {
    const std::string range = "; wordPause takes a whole number from 0 to 100.\n",
                      root = home.root().string();
    // The tool refuses to store text that could move the cursor, ring or forge a line; another
    // program may have, and text that is not UTF-8 or hides and reorders itself (a right-to-left
    // override, a zero-width space, a byte order mark, a tag). The terminal gets it escaped,
    // JSON exact (what is not UTF-8 as U+FFFD).
    ASSERT_TRUE(virelon::VirelonSharedSettings::setFallbackVoiceIdentifier(
        "m/K\x1b[2J\a\x7f\nintonation: 5 (stored)\\\xc2\x9b\u202Egnp.\u200B\uFEFF\xFF"
        "\U000E0001\u061C\u2066"));
    const std::string exported = R"(intonation: 0 (stored)
headSizePercent: 50 (default)
voicing: 91 (stored)
wordPause: 0 (default)
phrasePause: 12 (default)
fallbackVoiceIdentifier: testvoices/Jonas (stored)
)";
    std::ofstream(home.root() / "bad.json") << R"([{"key":"intonation","value":7,"stored":true},)"
                                               R"({"key":"voicing","value":"7","stored":true}])";
    const struct {
        std::string line, said;
        int signals = 0, status = 0;
    } cases[] = {
        {"get fallbackVoiceIdentifier",
         R"(fallbackVoiceIdentifier: m/K\x1B[2J\x07\x7F\nintonation: 5 (stored)\\\u009B\u202Egnp.)"
         R"(\u200B\uFEFF\xFF\U000E0001\u061C\u2066 (stored))"
         "\n"},
        {"--json get fallbackVoiceIdentifier",
         R"({"key":"fallbackVoiceIdentifier","value":"m/K\u001b[2J\u0007)"
         "\x7f"
         R"(\nintonation: 5 (stored)\\)"
         "\u009b\u202Egnp.\u200B\uFEFF\uFFFD\U000E0001\u061C\u2066"
         R"(","stored":true})"
         "\n"},
        // Refused outside the range, as the screen cannot go there; a number too long for 64
        // bits is still a number.
        {"set wordPause 101", "\"101\" is out of range" + range, 0, 2},
        {"set wordPause -99999999999999999999", "\"-99999999999999999999\" is out of range" + range,
         0, 2},
        {"set intonation 0", "intonation: 0\n", 1},
        {"--json set voicing 100",
         R"({"key":"voicing","value":100})"
         "\n",
         1},
        // Options end with "--"; after the command, -h and --help are values.
        {"set fallbackVoiceIdentifier --help", "fallbackVoiceIdentifier: --help\n", 1},
        {"get voicing --json", R"({"key":"voicing","value":100,"stored":true})"
                               "\n"},
        {"set fallbackVoiceIdentifier testvoices/Jonas",
         "fallbackVoiceIdentifier: testvoices/Jonas\n", 1},
        // Stored either way; with no session bus at all nobody can be listening, while a bus
        // that does not take the signal (paused, hung) leaves a running engine untold.
        {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus set voicing 90",
         "voicing: 90\nvirelon-settings: stored; no running speech engine could be told: there is "
         "no session bus.\n"},
        {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + root + "/silent set voicing 91",
         "voicing: 91\nvirelon-settings: stored, but no running speech engine was told: the "
         "session bus did not take the change signal within 500 ms.\n",
         0, 3},
        {"--json -- get fallbackVoiceIdentifier",
         R"({"key":"fallbackVoiceIdentifier","value":"testvoices/Jonas","stored":true})"
         "\n"},
        {"export " + root + "/backup.json", "settings exported to " + root + "/backup.json\n"},
        // The voices in the display order of the user's language (not English's), the stored one
        // marked.
        {"LANG=de_DE.UTF-8 LC_ALL= voices",
         R"(Deutsch (Deutschland), Jonas: testvoices/Jonas (stored)
Englisch (Vereinigtes Königreich), Kate: testvoices/Kate
Französisch (Frankreich), Amélie: testvoices/Amélie
Spanisch (Lateinamerika), Diego: testvoices/Diego
)"},
        {"SPEECHD_ADDRESS=unix_socket:" + root + "/none PATH=" + root + " voices",
         "could not list its voices", 0, 1},
        {"reset intonation", "intonation: removed, reads as its default 100\n", 1},
        {"reset intonation", "intonation: nothing stored, reads as its default 100\n"},
        {"--json reset --all",
         R"([{"key":"intonation","removed":false,"value":100},{"key":"headSizePercent","removed":false,"value":50},)"
         R"({"key":"voicing","removed":true,"value":100},{"key":"wordPause","removed":false,"value":0},)"
         R"({"key":"phrasePause","removed":false,"value":12},{"key":"fallbackVoiceIdentifier","removed":true,"value":null}])"
         "\n",
         2},
        {"get", defaults},
        // A file that is not wholly an export changes nothing; the export puts all six back.
        {"import " + root + "/bad.json",
         "is not an export of the settings: voicing must be a whole "
         "number from 0 to 100; nothing was changed.\n",
         0, 2},
        {"get", defaults},
        {"import " + root + "/backup.json", "6 settings imported from " + root + "/backup.json\n",
         1},
        {"get", exported},
        {"--version", "virelon-settings " + std::string(virelon::identifiers::version) + " (" +
                          std::string(virelon::identifiers::buildNumber) + ")\n"},
        {"path", file().string() + "\n"},
        {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus reload-voices",
         "session bus is not available", 0, 1},
        {"--help", "Usage: virelon-settings [OPTION]... COMMAND [ARGUMENTS]\n"},
        {"help", "Usage: virelon-settings [OPTION]... COMMAND [ARGUMENTS]\n"},
        {"help reset", "Usage: virelon-settings [OPTION]... reset KEY | --all\n"},
        {"help frobnicate", "unknown command \"frobnicate\"", 0, 2},
        {"SPEECHD_ADDRESS=unix_socket:" + root + "/none voices --no-start", "not running,", 0, 1},
        {"get >/dev/full", "could not write to standard output", 0, 1},
        {"set wordPause 40", "could not be saved", 0, 1},
        {"get", "cannot read the settings at " + file().string(), 0, 1},
        {"get intonation", "cannot read the settings", 0, 1}};
    // Bad usage; the fuzzers own the rules for numbers and text.
    for (const auto* line :
         {"", "frobnicate", "--colour", "get headSize", "get intonation voicing", "set intonation",
          "set headSize 40", "set intonation 4.5", "path extra", "get --help", "reset headSize",
          "reset voicing wordPause", "reset", "reload-voices now", "set fallbackVoiceIdentifier ''",
          "set fallbackVoiceIdentifier m/\x7f", "set fallbackVoiceIdentifier m/\xe9", "import",
          "export a b"}) {
        const auto result = run(line);
        EXPECT_TRUE(result.status == 2 && result.out.empty() && !result.err.empty()) << line;
    }
    const virelon::test::SilentSocket silent(home.root() / "silent");
    int signalled = 1;
    for (const auto& c : cases) {
        if (c.line == "set wordPause 40") {
            std::filesystem::remove_all(file().parent_path());
            std::ofstream(file().parent_path()) << "a file where the folder belongs";
        }
        const auto start = std::chrono::steady_clock::now();
        const auto result = run(c.line);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << c.line;
        EXPECT_EQ(result.status, c.status) << c.line << ": " << result.err;
        const bool failed = c.status == 1 || c.status == 2;
        const bool saidWhy = result.out.empty() && result.err.find(c.said) != std::string::npos;
        const auto said = c.said.starts_with("Usage:")
                              ? result.out.substr(0, result.out.find('\n') + 1)
                              : result.out;
        EXPECT_EQ(failed ? (saidWhy ? c.said : result.out + result.err) : said + result.err,
                  c.said);
        EXPECT_EQ(signals.now(), signalled += c.signals) << c.line;
    }
}

// The current settings first, then one block per change (a blank line between text blocks, one
// JSON document per line), also after a backup is put back with mv (the -wal and -shm of the file
// it replaces removed: they would belong to the new file); and a voice reload request, once per
// reload-voices.
TEST_F(SettingsTool, WatchPrintsTheSettingsThenEachChangeUntilInterrupted) {
    virelon::test::Subprocess text(VIRELON_SETTINGS_TOOL, {"watch"}),
        json(VIRELON_SETTINGS_TOOL, {"--json", "watch"});
    ASSERT_TRUE(text.waitFor("Watching", true) && json.waitFor("Watching", true));
    std::string texts = run("get").out, jsons = run("--json get").out;
    const auto settingsShown = [&] {
        texts += "\n" + run("get").out, jsons += run("--json get").out;
        return text.waitFor(texts) && json.waitFor(jsons);
    };
    ASSERT_EQ(run("set wordPause 33").status, 0);
    ASSERT_TRUE(settingsShown());
    ASSERT_EQ(
        run("XDG_CONFIG_HOME=" + (home.root() / "backup").string() + " set voicing 61").status, 0);
    ASSERT_TRUE(settingsShown()) << "its signal reaches the watch";
    for (const char* companion : {"-wal", "-shm"})
        std::filesystem::remove(file().string() + companion);
    std::filesystem::rename(home.root() / "backup" / file().lexically_relative(home.configHome()),
                            file());
    ASSERT_TRUE(virelon::VirelonSharedSettings::saveSetting(35, "phrasePause"));
    ASSERT_TRUE(settingsShown());
    EXPECT_NE(texts.find("voicing: 61 (stored)"), std::string::npos);
    EXPECT_EQ(run("reload-voices").out, "reloadVoices: requested\n");
    texts += "\nreloadVoices: requested\n", jsons += "{\"reloadVoices\":\"requested\"}\n";
    ASSERT_TRUE(text.waitFor(texts) && json.waitFor(jsons));
    for (const auto& [watch, expected] : {std::pair{&text, texts}, std::pair{&json, jsons}}) {
        watch->signal(SIGINT);
        const auto result = watch->finish(std::chrono::seconds(3));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, expected);
    }
}

// Commands, keys, and the identifiers that voices lists, with the words before the cursor read
// as the tool reads them; then from the session's cache (a listing of a voice with a space in its
// name stands in for the tool), quoted as the word began; nothing when no speech server is
// running, and none is started.
TEST_F(SettingsTool, BashCompletesCommandsKeysAndVoiceIdentifiers) {
    const auto starter = home.root() / "speech-dispatcher";
    std::ofstream(starter) << "#!/bin/sh\ntouch \"$0.started\"\n";
    std::filesystem::permissions(starter, std::filesystem::perms::owner_all);
    const std::string none = "export PATH=" + home.root().string() +
                             ":$PATH SPEECHD_ADDRESS=unix_socket:" + home.root().string() + "/none";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"re", "reset\nreload-voices\n", ""},
        {"help h", "help\n", ""},
        {"ex", "export\n", ""},
        {"--json reset ''",
         "intonation\nheadSizePercent\nvoicing\nwordPause\nphrasePause\nfallbackVoiceIdentifier\n"
         "--all\n",
         ""},
        {"set -- fallbackVoiceIdentifier testvoices/",
         "testvoices/Kate\ntestvoices/Amélie\ntestvoices/Jonas\ntestvoices/Diego\n", ""},
        {"set fallbackVoiceIdentifier testvoices/K", "testvoices/Kate\n", "fake=fake"},
        {"set fallbackVoiceIdentifier testvoices/", "", none},
        {"set fallbackVoiceIdentifier \\'m/T", "m/Two Words\n",
         "fake=fake; unset XDG_RUNTIME_DIR"}};
    for (const auto& [words, replies, before] : cases) {
        const auto script =
            "source \"$0\"; fake() { echo '[{\"identifier\":\"m/Two Words\"}]'; }; eval \"$3\"; "
            "eval \"COMP_WORDS=(\\\"\\$1\\\" $2)\"; COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
            "_virelon_settings \"${fake:-$1}\"; printf '%s\\n' \"${COMPREPLY[@]}\" | grep .";
        EXPECT_EQ(virelon::test::runProgram(
                      "/bin/bash",
                      {"-c", script, VIRELON_BASH_COMPLETION, VIRELON_SETTINGS_TOOL, words, before},
                      {{"LANG", "en_US.UTF-8"}})
                      .out,
                  replies)
            << words;
    }
    EXPECT_FALSE(std::filesystem::exists(starter.string() + ".started"));
}

} // namespace
