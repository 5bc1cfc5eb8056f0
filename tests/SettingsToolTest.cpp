// The command-line tool, run as a user would, against a private settings folder, the test
// session's bus and its speech server (testvoices' Kate, Kate+Loud, a variant, Jonas, Amélie and
// Diego, and two voices of a module named after the application identifier).

#include "support/ScratchHome.h"
#include "support/ScriptedPeer.h"
#include "support/SignalCounter.h"
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

// Each row runs in a settings folder of its own, after the tool lines it is given there: its exit
// status, all of its standard output (or how it starts), its messages (exactly, or a part of
// them) and the change signals it sends, within loose "did not hang" bounds.
TEST_F(SettingsTool, EachCommandSaysWhatItDidAndSignalsEachChangeOnce) {
    const std::string range = "; wordPause takes a whole number from 0 to 100.\n",
                      root = home.root().string(), suite(virelon::identifiers::suiteName),
                      silentBus = "DBUS_SESSION_BUS_ADDRESS=unix:path=" + root + "/silent ",
                      noBus = "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus ",
                      notTaken = "virelon-settings: stored, but no running speech engine was "
                                 "told: the session bus did not take the change signal within "
                                 "500 ms.\n";
    // The tool refuses to store text that could move the cursor, ring or forge a line; another
    // program may have, and text that is not UTF-8 or hides and reorders itself (a right-to-left
    // override, a zero-width space, a byte order mark, a tag). The terminal gets it escaped,
    // JSON exact (what is not UTF-8 as U+FFFD). Stored in the test's own folder.
    ASSERT_TRUE(virelon::VirelonSharedSettings::setFallbackVoiceIdentifier(
        "m/K\x1b[2J\a\x7f\nintonation: 5 (stored)\\\xc2\x9b\u202Egnp.\u200B\uFEFF\xFF"
        "\U000E0001\u061C\u2066"));
    const std::string stored = "XDG_CONFIG_HOME=" + home.configHome().string() + " ";
    const std::string exported = R"(intonation: 0 (stored)
headSizePercent: 50 (default)
voicing: 91 (stored)
wordPause: 0 (default)
phrasePause: 12 (default)
fallbackVoiceIdentifier: testvoices/Jonas (stored)
)";
    // Three settings stored, exported to `file`, then all six reset.
    const auto backedUp = [&](const std::string& file) {
        return std::vector<std::string>{"set intonation 0", "set voicing 91",
                                        "set fallbackVoiceIdentifier testvoices/Jonas",
                                        "export " + root + "/" + file, "reset --all"};
    };
    auto restored = backedUp("restored.json");
    restored.push_back("import " + root + "/restored.json");
    std::ofstream(home.root() / "bad.json") << R"([{"key":"intonation","value":7,"stored":true},)"
                                               R"({"key":"voicing","value":"7","stored":true}])";
    // A settings folder that cannot be made: a file where it belongs.
    std::filesystem::create_directories(home.root() / "blocked");
    std::ofstream(home.root() / "blocked" / suite) << "a file where the folder belongs";
    const std::string blocked = "XDG_CONFIG_HOME=" + root + "/blocked ";
    const std::string usage = "Usage: virelon-settings [OPTION]... COMMAND [ARGUMENTS]\n";
    const struct {
        std::string line;
        std::vector<std::string> given = {};
        int status = 0;
        std::string out = {};     // all of standard output (with outStarts, how it starts)
        std::string err = {};     // all of standard error
        std::string errPart = {}; // or a part of it
        int signals = 0;
        bool outStarts = false;
    } cases[] = {
        {.line = stored + "get fallbackVoiceIdentifier",
         .out = R"(fallbackVoiceIdentifier: m/K\x1B[2J\x07\x7F\nintonation: 5 (stored)\\\u009B)"
                R"(\u202Egnp.\u200B\uFEFF\xFF\U000E0001\u061C\u2066 (stored))"
                "\n"},
        {.line = stored + "--json get fallbackVoiceIdentifier",
         .out = R"({"key":"fallbackVoiceIdentifier","value":"m/K\u001b[2J\u0007)"
                "\x7f"
                R"(\nintonation: 5 (stored)\\)"
                "\u009b\u202Egnp.\u200B\uFEFF\uFFFD\U000E0001\u061C\u2066"
                R"(","stored":true})"
                "\n"},
        // Refused outside the range, as the screen cannot go there; a number too long for 64
        // bits is still a number.
        {.line = "set wordPause 101", .status = 2, .errPart = "\"101\" is out of range" + range},
        {.line = "set wordPause -99999999999999999999",
         .status = 2,
         .errPart = "\"-99999999999999999999\" is out of range" + range},
        {.line = "set intonation 0", .out = "intonation: 0\n", .signals = 1},
        {.line = "--json set voicing 100",
         .out = R"({"key":"voicing","value":100})"
                "\n",
         .signals = 1},
        // After the command, -h and --help are values; "--" ends the options, --json included.
        {.line = "set fallbackVoiceIdentifier --help",
         .out = "fallbackVoiceIdentifier: --help\n",
         .signals = 1},
        {.line = "-- set fallbackVoiceIdentifier --json",
         .out = "fallbackVoiceIdentifier: --json\n",
         .signals = 1},
        {.line = "-- --json get", .status = 2, .errPart = "unknown command \"--json\""},
        {.line = "--json -- get fallbackVoiceIdentifier",
         .given = {"set fallbackVoiceIdentifier testvoices/Jonas"},
         .out = R"({"key":"fallbackVoiceIdentifier","value":"testvoices/Jonas","stored":true})"
                "\n"},
        {.line = "get voicing --json",
         .given = {"set voicing 100"},
         .out = R"({"key":"voicing","value":100,"stored":true})"
                "\n"},
        // Stored either way; with no session bus at all nobody can be listening, while a bus
        // that does not take the signal (paused, hung) leaves a running engine untold.
        {.line = noBus + "set voicing 90",
         .out = "voicing: 90\n",
         .err = "virelon-settings: stored; no running speech engine could be told: there is no "
                "session bus.\n"},
        {.line = silentBus + "set voicing 91",
         .status = 3,
         .out = "voicing: 91\n",
         .err = notTaken},
        {.line = silentBus + "reset voicing",
         .given = {"set voicing 91"},
         .status = 3,
         .out = "voicing: removed, reads as its default 100\n",
         .err = notTaken},
        {.line = silentBus + "import " + root + "/unannounced.json",
         .given = backedUp("unannounced.json"),
         .status = 3,
         .out = "6 settings imported from " + root + "/unannounced.json\n",
         .err = notTaken},
        {.line = "reset intonation",
         .given = {"set intonation 0"},
         .out = "intonation: removed, reads as its default 100\n",
         .signals = 1},
        {.line = "reset intonation",
         .out = "intonation: nothing stored, reads as its default 100\n"},
        {.line = "--json reset --all",
         .given = {"set voicing 91", "set fallbackVoiceIdentifier testvoices/Jonas"},
         .out =
             R"([{"key":"intonation","removed":false,"value":100},{"key":"headSizePercent","removed":false,"value":50},)"
             R"({"key":"voicing","removed":true,"value":100},{"key":"wordPause","removed":false,"value":0},)"
             R"({"key":"phrasePause","removed":false,"value":12},{"key":"fallbackVoiceIdentifier","removed":true,"value":null}])"
             "\n",
         .signals = 2},
        {.line = "get", .out = defaults},
        // A backup: to a file, or to standard output; a file that is not wholly an export
        // changes nothing; an export puts all six back.
        {.line = "export " + root + "/exported.json",
         .out = "settings exported to " + root + "/exported.json\n"},
        {.line = "export",
         .given = {"set voicing 91"},
         .out =
             R"([{"key":"intonation","value":100,"stored":false},{"key":"headSizePercent","value":50,"stored":false},)"
             R"({"key":"voicing","value":91,"stored":true},{"key":"wordPause","value":0,"stored":false},)"
             R"({"key":"phrasePause","value":12,"stored":false},{"key":"fallbackVoiceIdentifier","value":null,"stored":false}])"
             "\n"},
        {.line = "export " + root + "/missing/exported.json",
         .status = 1,
         .errPart = "could not write " + root + "/missing/exported.json"},
        {.line = "import " + root + "/bad.json",
         .status = 2,
         .errPart = "is not an export of the settings: voicing must be a whole number from 0 to "
                    "100; nothing was changed.\n"},
        {.line = "get", .given = {"import " + root + "/bad.json"}, .out = defaults},
        {.line = "import " + root + "/missing.json",
         .status = 1,
         .errPart = "could not read " + root + "/missing.json; nothing was changed"},
        {.line = "import " + root + "/backup.json",
         .given = backedUp("backup.json"),
         .out = "6 settings imported from " + root + "/backup.json\n",
         .signals = 1},
        {.line = "get", .given = restored, .out = exported},
        // The voices in the display order of the user's language (not English's), the stored
        // one marked; with a module that did not list, those that did, and status 1.
        {.line = "LANG=de_DE.UTF-8 LC_ALL= voices",
         .given = {"set fallbackVoiceIdentifier testvoices/Jonas"},
         .out = R"(Deutsch (Deutschland), Jonas: testvoices/Jonas (stored)
Englisch (Vereinigtes Königreich), Kate: testvoices/Kate
Französisch (Frankreich), Amélie: testvoices/Amélie
Spanisch (Lateinamerika), Diego: testvoices/Diego
)"},
        {.line = "SPEECHD_ADDRESS=unix_socket:" + root + "/peer LANG=en_US.UTF-8 LC_ALL= voices",
         .status = 1,
         .out = "English (United Kingdom), Kate: alpha/Kate\n",
         .err = "virelon-settings: the speech server's module \"beta\" did not list its voices.\n"},
        {.line = "SPEECHD_ADDRESS=unix_socket:" + root + "/none PATH=" + root + " voices",
         .status = 1,
         .errPart = "could not list its voices"},
        {.line = "SPEECHD_ADDRESS=unix_socket:" + root + "/none voices --no-start",
         .status = 1,
         .errPart = "not running,"},
        {.line = noBus + "reload-voices", .status = 1, .errPart = "session bus is not available"},
        {.line = noBus + "watch", .status = 1, .errPart = "session bus is not available"},
        {.line = "--version",
         .out = "virelon-settings " + std::string(virelon::identifiers::version) + " (" +
                std::string(virelon::identifiers::buildNumber) + ")\n"},
        // Where the settings are: under XDG_CONFIG_HOME when absolute, else under HOME; with
        // neither, nowhere.
        {.line = "XDG_CONFIG_HOME=" + root + "/elsewhere path",
         .out = root + "/elsewhere/" + suite + "/preferences.db\n"},
        {.line = "HOME=" + root + "/home XDG_CONFIG_HOME=relative path",
         .out = root + "/home/.config/" + suite + "/preferences.db\n"},
        {.line = "HOME= XDG_CONFIG_HOME= set voicing 3",
         .status = 1,
         .errPart = "neither XDG_CONFIG_HOME nor HOME is set"},
        {.line = "--help", .out = usage, .outStarts = true},
        {.line = "-h", .out = usage, .outStarts = true},
        {.line = "help", .out = usage, .outStarts = true},
        {.line = "help reset",
         .out = "Usage: virelon-settings [OPTION]... reset KEY | --all\n",
         .outStarts = true},
        {.line = "help frobnicate", .status = 2, .errPart = "unknown command \"frobnicate\""},
        // Standard output that cannot be written, by a command that writes it in one go at the
        // end and by one that flushes it itself.
        {.line = "get >/dev/full", .status = 1, .errPart = "could not write to standard output"},
        {.line = "path >/dev/full", .status = 1, .errPart = "could not write to standard output"},
        {.line = blocked + "set wordPause 40", .status = 1, .errPart = "could not be saved"},
        {.line = blocked + "get",
         .status = 1,
         .errPart = "cannot read the settings at " + root + "/blocked/" + suite},
        {.line = blocked + "get intonation", .status = 1, .errPart = "cannot read the settings"}};
    // Bad usage; the fuzzers own the rules for numbers and text.
    for (const auto* line :
         {"", "frobnicate", "--colour", "get headSize", "get intonation voicing", "set intonation",
          "set headSize 40", "set intonation 4.5", "path extra", "get --help", "reset headSize",
          "reset voicing wordPause", "reset", "reload-voices now", "set fallbackVoiceIdentifier ''",
          "set fallbackVoiceIdentifier m/\x7f", "set fallbackVoiceIdentifier m/\xe9", "import",
          "export a b"}) {
        const auto result = run(line);
        EXPECT_EQ(result.status, 2) << line;
        EXPECT_EQ(result.out, "") << line;
        EXPECT_NE(result.err, "") << line;
    }
    const virelon::test::SilentSocket silent(home.root() / "silent");
    // One module lists its voices, the other does not.
    const virelon::test::ScriptedPeer peer(
        home.root() / "peer",
        {"208 OK CLIENT NAME SET\r\n", "250-alpha\r\n250-beta\r\n250 OK MODULE LIST SENT\r\n",
         "216 OK OUTPUT MODULE SET\r\n", "249-Kate\ten-GB\tnone\r\n249 OK VOICE LIST SENT\r\n",
         "216 OK OUTPUT MODULE SET\r\n", "300 ERR NO VOICES\r\n"});
    int seen = signals.now();
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        const auto& c = cases[row];
        const Environment folder{
            {"XDG_CONFIG_HOME", (home.root() / "rows" / std::to_string(row)).string()}};
        for (const auto& line : c.given)
            run(line, folder);
        if (!c.given.empty())
            seen = signals.now();
        const auto start = std::chrono::steady_clock::now();
        const auto result = run(c.line, folder);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << c.line;
        EXPECT_EQ(result.status, c.status) << c.line << ": " << result.err;
        EXPECT_EQ(c.outStarts ? result.out.substr(0, c.out.size()) : result.out, c.out) << c.line;
        if (c.errPart.empty())
            EXPECT_EQ(result.err, c.err) << c.line;
        else
            EXPECT_NE(result.err.find(c.errPart), std::string::npos)
                << c.line << ": " << result.err;
        const int now = signals.now();
        EXPECT_EQ(now - seen, c.signals) << c.line;
        seen = now;
    }
}

// A backup put back by cp while this process is in the middle of a burst of writes: the changes
// still waiting in the -wal belong to the file it replaced. The tool uses neither, says what to
// do, and once that is done the backup is used as it is.
TEST_F(SettingsTool, AFilePutBackOverWaitingChangesIsRefusedWithWhatToDo) {
    const auto backupHome = home.root() / "backup";
    ASSERT_EQ(run("set voicing 7", {{"XDG_CONFIG_HOME", backupHome.string()}}).status, 0);
    for (int value = 1; value <= 5; ++value)
        ASSERT_TRUE(virelon::VirelonSharedSettings::saveSetting(value, "intonation"));
    const std::string wal = file().string() + "-wal";
    ASSERT_GT(std::filesystem::file_size(wal), 0u);
    std::filesystem::copy_file(backupHome / file().parent_path().filename() / "preferences.db",
                               file(), std::filesystem::copy_options::overwrite_existing);
    for (const auto* line : {"get", "set voicing 3", "reset intonation"}) {
        const auto result = run(line);
        EXPECT_EQ(result.status, 1) << line;
        EXPECT_NE(result.err.find(" was put in place while changes to the file it replaced were "
                                  "still waiting in " +
                                  wal + ", so it is not used"),
                  std::string::npos)
            << line << ": " << result.err;
    }
    std::filesystem::remove(wal);
    std::filesystem::remove(file().string() + "-shm");
    EXPECT_EQ(run("get voicing").out, "voicing: 7 (stored)\n");
    EXPECT_EQ(run("get intonation").out, "intonation: 100 (default)\n");
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
        texts += "\n" + run("get").out;
        jsons += run("--json get").out;
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
    texts += "\nreloadVoices: requested\n";
    jsons += "{\"reloadVoices\":\"requested\"}\n";
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
