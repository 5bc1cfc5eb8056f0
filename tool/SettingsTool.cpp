// The command line of virelon-settings: options, the usage text, and the command chosen.

#include "SettingsTool.h"

#include "Commands.h"
#include "virelon/Identifiers.h"

#include <ostream>
#include <string_view>

namespace virelon::tool {

namespace {

constexpr std::string_view usageCommands =
    R"(Usage: virelon-settings [OPTION]... COMMAND [ARGUMENTS]

Reads and changes the Virelon voice settings, as the settings screen and the speech engine see them.

Commands:
  get [KEY]       Show every setting, or one, and whether it is stored or the default.
  set KEY VALUE   Store a setting. Voice controls are whole numbers, kept within 0 to 100.
  reset [KEY]     Remove the stored value of a setting, or of all six, so it reads as its default.
  voices          List the fallback voices in display order, marking the stored one.
  reload-voices   Ask the speech engine to reload its voices.
  watch           Print the settings, then again each time they change, and each request to
                  reload the voices, until interrupted.
  path            Show where the settings are stored.
  export [FILE]   Write the stored settings as JSON (the form of --json get) to standard output,
                  or to FILE, which is replaced whole or left as it was.
  import FILE     Put back the settings of an export at once, with one change signal; a file
                  that is not an export changes nothing.

Keys: )";

constexpr std::string_view usageOptions = R"(.

Options (--help and --version only before the command):
  --json          Print results as JSON.
  -h, --help      Show this help.
  --version       Show the version.
  --              End the options: every later argument is taken as it is.

Exit status: 0 done, 1 could not be done, 2 bad usage.
)";

std::string usage() {
    return std::string(usageCommands) + keyList() + std::string(usageOptions);
}

} // namespace

namespace {

int runCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    bool json = false;
    bool optionsEnded = false;
    std::vector<std::string> words;
    for (const auto& argument : arguments) {
        // After the command, --help and --version are values like any other.
        const bool beforeCommand = words.empty();
        if (optionsEnded) {
            words.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (beforeCommand && (argument == "--help" || argument == "-h")) {
            out << usage();
            return ok;
        } else if (beforeCommand && argument == "--version") {
            out << "virelon-settings " << identifiers::version << " (" << identifiers::buildNumber
                << ")\n";
            return ok;
        } else if (argument == "--json") {
            json = true;
        } else if (argument.starts_with("--") && argument != "--help" && argument != "--version") {
            err << "virelon-settings: unknown option \"" << argument
                << "\". Try virelon-settings --help.\n";
            return badUsage;
        } else {
            words.push_back(argument);
        }
    }
    auto wrongCount = [&](std::string_view form) {
        err << "virelon-settings: usage: virelon-settings " << form << '\n';
        return badUsage;
    };
    if (words.empty()) {
        err << usage();
        return badUsage;
    }
    Commands tool(out, err, json);
    const auto& command = words[0];
    const auto count = words.size() - 1;
    if (command == "get")
        return count <= 1 ? tool.get(count ? std::optional(words[1]) : std::nullopt)
                          : wrongCount("get [KEY]");
    if (command == "set")
        return count == 2 ? tool.set(words[1], words[2]) : wrongCount("set KEY VALUE");
    if (command == "reset")
        return count <= 1 ? tool.reset(count ? std::optional(words[1]) : std::nullopt)
                          : wrongCount("reset [KEY]");
    if (command == "voices")
        return count == 0 ? tool.voices() : wrongCount("voices");
    if (command == "reload-voices")
        return count == 0 ? tool.reloadVoices() : wrongCount("reload-voices");
    if (command == "watch")
        return count == 0 ? tool.watch() : wrongCount("watch");
    if (command == "path")
        return count == 0 ? tool.path() : wrongCount("path");
    if (command == "export")
        return count <= 1 ? tool.exportTo(count ? std::optional(words[1]) : std::nullopt)
                          : wrongCount("export [FILE]");
    if (command == "import")
        return count == 1 ? tool.importFrom(words[1]) : wrongCount("import FILE");
    err << "virelon-settings: unknown command \"" << command
        << "\". Try virelon-settings --help.\n";
    return badUsage;
}

} // namespace

int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    const int status = runCommand(arguments, out, err);
    // Output that never arrived (a full disk, `> /dev/full`) is a failure, whatever the command.
    if (!out.flush()) {
        err << "virelon-settings: could not write to standard output.\n";
        return failed;
    }
    return status;
}

} // namespace virelon::tool
