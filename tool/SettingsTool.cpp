// The command line of virelon-settings: options, the usage text, and the command chosen.

#include "SettingsTool.h"

#include "Commands.h"
#include "tool/Json.h"
#include "virelon/Identifiers.h"

#include <algorithm>
#include <ostream>
#include <string_view>

namespace virelon::tool {

namespace {

// Each command: its forms after the program's options, and what it does.
struct CommandUsage {
    std::string_view name, forms, summary;
};

constexpr CommandUsage commandUsages[] = {
    {"get", "get [KEY]", "Show every setting, or one, and whether it is stored or the default."},
    {"set", "set KEY VALUE", "Store a setting. Voice controls take a whole number from 0 to 100."},
    {"reset", "reset KEY | --all",
     "Remove the stored value of a setting, or of all six, so it reads as its default."},
    {"voices", "voices [--no-start]",
     "List the fallback voices in display order, marking the stored one. With --no-start, "
     "only when the speech server is running: it is never started."},
    {"reload-voices", "reload-voices", "Ask the speech engine to reload its voices."},
    {"watch", "watch",
     "Print the settings, then again each time they change, and each request to reload the "
     "voices, until interrupted."},
    {"path", "path", "Show where the settings are stored."},
    {"export", "export [FILE]",
     "Write the stored settings as JSON (the form of --json get) to standard output, or to FILE, "
     "which is replaced whole or left as it was."},
    {"import", "import FILE",
     "Put back the settings of an export at once, with one change signal; a file that is not an "
     "export changes nothing."},
    {"help", "help [COMMAND]", "Show this help, or how to use one command."},
};

const CommandUsage* commandUsage(std::string_view name) {
    for (const auto& command : commandUsages) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

// `text` broken into lines of at most 100 columns, each after `indent` spaces but the first.
std::string wrapped(std::string_view text, std::size_t indent) {
    std::string lines;
    std::size_t column = indent;
    while (!text.empty()) {
        const auto word = text.substr(0, text.find(' '));
        text.remove_prefix(std::min(text.size(), word.size() + 1));
        if (column > indent && column + 1 + word.size() > 100) {
            lines.append("\n").append(indent, ' ');
            column = indent;
        } else if (column > indent) {
            lines += ' ', ++column;
        }
        lines.append(word);
        column += word.size();
    }
    return lines + '\n';
}

constexpr std::string_view usageHeader =
    R"(Usage: virelon-settings [OPTION]... COMMAND [ARGUMENTS]

Reads and changes the Virelon voice settings, as the settings screen and the speech engine see them.

Commands:
)";

constexpr std::string_view usageOptions = R"(.

Options (--help and --version only before the command):
  --json          Print results as JSON.
  -h, --help      Show this help.
  --version       Show the version.
  --              End the options: every later argument is taken as it is.

Exit status: 0 done, 1 could not be done, 2 bad usage, 3 stored, but the session bus did not
take the change signal, so no running speech engine was told (with no session bus at all: 0).
)";

std::string usage() {
    std::string text(usageHeader);
    for (const auto& command : commandUsages) {
        // A form too long for its column puts the summary on the next line.
        text.append("  ").append(command.forms);
        text.append(command.forms.size() < 15 ? 16 - command.forms.size() : 0, ' ');
        if (command.forms.size() >= 15)
            text.append("\n").append(18, ' ');
        text += wrapped(command.summary, 18);
    }
    return text + "\nKeys: " + keyList() + std::string(usageOptions);
}

// "help COMMAND": its form and what it does, and the keys when it takes one.
std::string commandHelp(const CommandUsage& command) {
    std::string text = "Usage: virelon-settings [OPTION]... " + std::string(command.forms) +
                       "\n\n" + wrapped(command.summary, 0);
    if (command.forms.find("KEY") != std::string_view::npos)
        text += "\nKeys: " + keyList() + ".\n";
    return text;
}

} // namespace

namespace {

int runCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    bool json = false;
    bool optionsEnded = false;
    bool commandOption = false; // "reset --all", "voices --no-start"
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
        } else if (words.size() == 1 && ((words[0] == "reset" && argument == "--all") ||
                                         (words[0] == "voices" && argument == "--no-start"))) {
            commandOption = true;
        } else if (argument.starts_with("--") && argument != "--help" && argument != "--version") {
            err << "virelon-settings: unknown option \"" << argument
                << "\". Try virelon-settings --help.\n";
            return badUsage;
        } else {
            words.push_back(argument);
        }
    }
    if (words.empty()) {
        err << usage();
        return badUsage;
    }
    const auto& command = words[0];
    const auto* form = commandUsage(command);
    if (!form || (command == "help" && words.size() == 2 && !commandUsage(words[1]))) {
        err << "virelon-settings: unknown command \"" << terminalText(form ? words[1] : command)
            << "\". Try virelon-settings help.\n";
        return badUsage;
    }
    Commands tool(out, err, json);
    const auto count = words.size() - 1;
    if (command == "get" && count <= 1)
        return tool.get(count ? std::optional(words[1]) : std::nullopt);
    if (command == "set" && count == 2)
        return tool.set(words[1], words[2]);
    if (command == "reset" && count == (commandOption ? 0 : 1))
        return tool.reset(count ? std::optional(words[1]) : std::nullopt);
    if (command == "voices" && count == 0)
        return tool.voices(!commandOption);
    if (command == "reload-voices" && count == 0)
        return tool.reloadVoices();
    if (command == "watch" && count == 0)
        return tool.watch();
    if (command == "path" && count == 0)
        return tool.path();
    if (command == "export" && count <= 1)
        return tool.exportTo(count ? std::optional(words[1]) : std::nullopt);
    if (command == "import" && count == 1)
        return tool.importFrom(words[1]);
    if (command == "help" && count <= 1) {
        out << (count ? commandHelp(*commandUsage(words[1])) : usage());
        return ok;
    }
    err << "virelon-settings: usage: virelon-settings " << form->forms << '\n';
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
