#include "SettingsTool.h"

#include "Json.h"
#include "LocaleServices.h"
#include "PreferencesDomain.h"
#include "SettingsSignal.h"
#include "SpeechVoices.h"
#include "VoiceCatalogue.h"
#include "virelon/DecimalInteger.h"
#include "virelon/Identifiers.h"
#include "virelon/SettingsKeys.h"
#include "virelon/StoredValueReading.h"
#include "virelon/VirelonSharedSettings.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <optional>
#include <ostream>
#include <sstream>

#include <poll.h>

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

Keys: )";

constexpr std::string_view usageOptions = R"(.

Options (--help and --version only before the command):
  --json          Print results as JSON.
  -h, --help      Show this help.
  --version       Show the version.
  --              End the options: every later argument is taken as it is.

Exit status: 0 done, 1 could not be done, 2 bad usage.
)";

const IntegerSetting* integerSetting(std::string_view key) {
    return settings::voiceControl(key);
}

bool isKey(std::string_view key) {
    return std::find(settings::allKeys.begin(), settings::allKeys.end(), key) !=
           settings::allKeys.end();
}

// "intonation, headSizePercent, ..., fallbackVoiceIdentifier"
std::string keyList() {
    std::string list;
    for (const auto key : settings::allKeys)
        list.append(list.empty() ? "" : ", ").append(key);
    return list;
}

std::string usage() {
    return std::string(usageCommands) + keyList() + std::string(usageOptions);
}

// Not empty, well-formed UTF-8, and no C0 or C1 control character nor DEL.
bool isUsableIdentifier(std::string_view text) {
    if (text.empty() || !decodeUtf8(std::vector<std::uint8_t>(text.begin(), text.end())))
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // U+0080 to U+009F are C2 80 to C2 9F in UTF-8.
        if (byte < 0x20 || byte == 0x7F ||
            (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0))
            return false;
    }
    return true;
}

std::string domainLocation() {
    return platform::preferencesDomainPath(identifiers::suiteName)
        .value_or("(no location: neither XDG_CONFIG_HOME nor HOME is set)");
}

class Tool {
public:
    Tool(std::ostream& out, std::ostream& err, bool json) : out_(out), err_(err), json_(json) {}

    int get(const std::optional<std::string>& key) {
        if (key && !isKey(*key))
            return unknownKey(*key);
        if (!VirelonSharedSettings::isReadable()) {
            err_ << "virelon-settings: cannot read the settings at "
                 << terminalText(domainLocation())
                 << ": the file cannot be opened or read, or is not the user's own settings "
                    "file.\n";
            return failed;
        }
        if (!key && json_)
            out_ << '[';
        bool first = true;
        auto show = [&](std::string_view name) {
            if (key && *key != name)
                return;
            if (json_ && !key && !first)
                out_ << ',';
            first = false;
            showSetting(name);
        };
        for (const auto name : settings::allKeys)
            show(name);
        if (!key && json_)
            out_ << ']';
        if (json_)
            out_ << '\n';
        out_.flush();
        return ok;
    }

    int set(const std::string& key, const std::string& value) {
        if (!isKey(key))
            return unknownKey(key);
        if (const auto* setting = integerSetting(key)) {
            const auto given = parseDecimalInteger(value);
            if (!given) {
                err_ << "virelon-settings: \"" << terminalText(value)
                     << "\" is not a whole number; " << key
                     << " takes a whole number from 0 to 100.\n";
                return badUsage;
            }
            if (!VirelonSharedSettings::saveSetting(*given, setting->key))
                return notSaved(key);
            const auto stored = clampSettingValue(*given);
            if (json_) {
                out_ << "{\"key\":" << jsonString(key) << ",\"value\":" << stored
                     << ",\"given\":" << *given << "}\n";
            } else {
                out_ << key << ": " << stored;
                if (stored != *given)
                    out_ << " (you gave " << *given << "; settings range from 0 to 100)";
                out_ << '\n';
            }
            return ok;
        }
        if (!isUsableIdentifier(value)) {
            err_ << "virelon-settings: a fallback voice identifier must be UTF-8 text, not empty, "
                    "without control characters; virelon-settings voices lists them.\n";
            return badUsage;
        }
        if (!VirelonSharedSettings::setFallbackVoiceIdentifier(value))
            return notSaved(key);
        if (json_)
            out_ << "{\"key\":" << jsonString(key) << ",\"value\":" << jsonString(value) << "}\n";
        else
            out_ << key << ": " << terminalText(value) << '\n';
        return ok;
    }

    int reset(const std::optional<std::string>& key) {
        if (key && !isKey(*key))
            return unknownKey(*key);
        // Removed one by one, each with its own signal; the first failure ends the run.
        std::vector<std::pair<std::string_view, bool>> done; // key, whether a value was removed
        std::optional<std::string_view> failedKey;
        for (const auto name : settings::allKeys) {
            if (key && *key != name)
                continue;
            const auto removal = VirelonSharedSettings::removeSetting(name);
            if (removal == VirelonSharedSettings::Removal::failed) {
                failedKey = name;
                break;
            }
            done.emplace_back(name, removal == VirelonSharedSettings::Removal::removed);
        }
        if (!key && json_)
            out_ << '[';
        for (std::size_t i = 0; i < done.size(); ++i) {
            const auto [name, removed] = done[i];
            const auto* setting = integerSetting(name);
            const auto value = setting ? std::to_string(setting->defaultValue) : std::string();
            if (json_)
                out_ << (i ? "," : "") << "{\"key\":" << jsonString(name)
                     << ",\"removed\":" << (removed ? "true" : "false")
                     << ",\"value\":" << (setting ? value : "null") << '}';
            else
                out_ << name << ": " << (removed ? "removed" : "nothing stored")
                     << ", reads as its default " << (setting ? value : "none") << '\n';
        }
        if (!key && json_)
            out_ << ']';
        if (json_ && (!key || !done.empty()))
            out_ << '\n';
        if (!failedKey)
            return ok;
        err_ << "virelon-settings: " << *failedKey << " could not be reset: the settings at "
             << domainLocation() << " cannot be opened or written.\n";
        return failed;
    }

    int voices() {
        auto speech = platform::makeSpeechDispatcherVoices();
        auto locale = platform::makeIcuLocaleServices();
        auto listing = speech->speechVoices();
        if (!listing.succeeded) {
            err_ << "virelon-settings: the speech server could not list its voices: it is not "
                    "running and cannot be started, did not finish within 2 seconds, or sent "
                    "more than a listing may hold.\n";
            return failed;
        }
        const auto voices = catalogue::fallbackVoices(std::move(listing.voices), *locale);
        const auto stored = VirelonSharedSettings::fallbackVoiceIdentifier();
        if (json_)
            out_ << '[';
        for (std::size_t i = 0; i < voices.size(); ++i) {
            const auto& voice = voices[i];
            const bool isStored = stored && *stored == voice.identifier;
            const auto name = catalogue::displayName(voice, *locale);
            if (json_) {
                out_ << (i ? "," : "") << "{\"identifier\":" << jsonString(voice.identifier)
                     << ",\"displayName\":" << jsonString(name)
                     << ",\"name\":" << jsonString(voice.name)
                     << ",\"language\":" << jsonString(voice.language)
                     << ",\"stored\":" << (isStored ? "true" : "false") << '}';
            } else {
                out_ << terminalText(name) << ": " << terminalText(voice.identifier)
                     << (isStored ? " (stored)" : "") << '\n';
            }
        }
        if (json_)
            out_ << "]\n";
        else if (voices.empty())
            out_ << "No fallback voices are installed.\n";
        for (const auto& module : listing.failedModules)
            err_ << "virelon-settings: the speech server's module \"" << terminalText(module)
                 << "\" did not list its voices.\n";
        return listing.failedModules.empty() ? ok : failed;
    }

    int reloadVoices() {
        if (!platform::postSessionBusSignalOnce(
                VirelonSharedSettings::reloadVoicesNotification())) {
            err_ << "virelon-settings: cannot ask the speech engine to reload its voices: the "
                    "session bus is not available.\n";
            return failed;
        }
        showReloadRequest();
        return ok;
    }

    int watch() {
        auto changes =
            platform::observeSessionBusSignal(VirelonSharedSettings::changeNotification(), [this] {
                VirelonSharedSettings::reopenIfReplaced(); // the change may be a new file
                startBlock();
                get(std::nullopt);
            });
        auto reloads = platform::observeSessionBusSignal(
            VirelonSharedSettings::reloadVoicesNotification(), [this] {
                startBlock();
                showReloadRequest();
            });
        if (!changes || !reloads) {
            err_ << "virelon-settings: cannot watch for changes: the session bus is not "
                    "available.\n";
            return failed;
        }
        err_ << "Watching for settings changes. Press Control+C to stop.\n";
        err_.flush();
        // Subscribed first, so that no change falls between this reading and the watching.
        startBlock();
        get(std::nullopt);
        interrupted() = 0;
        struct sigaction action {};
        action.sa_handler = [](int) { interrupted() = 1; };
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        platform::SignalObserver* observers[] = {changes.get(), reloads.get()};
        // A write error ends the watch; run() reports it.
        while (!interrupted() && out_) {
            if (!waitForEither(observers)) {
                err_ << "virelon-settings: the session bus went away.\n";
                return failed;
            }
        }
        return ok;
    }

    int path() {
        const auto location = platform::preferencesDomainPath(identifiers::suiteName);
        if (!location) {
            err_ << "virelon-settings: no location for the settings: neither XDG_CONFIG_HOME nor "
                    "HOME is set.\n";
            return failed;
        }
        if (json_)
            out_ << "{\"path\":" << jsonString(*location) << "}\n";
        else
            out_ << *location << '\n';
        return ok;
    }

private:
    static volatile std::sig_atomic_t& interrupted() {
        static volatile std::sig_atomic_t flag = 0;
        return flag;
    }

    // Text blocks are separated by a blank line; JSON documents by their line ends alone.
    void startBlock() {
        if (!json_ && blocks_++ > 0)
            out_ << '\n';
    }

    void showReloadRequest() {
        out_ << (json_ ? "{\"reloadVoices\":\"requested\"}\n" : "reloadVoices: requested\n");
        out_.flush();
    }

    // Waits until something arrives on either observer, or a quarter of a second passes so that an
    // interruption is noticed, then handles what arrived. False when a connection is lost.
    static bool waitForEither(platform::SignalObserver* const (&observers)[2]) {
        constexpr std::uint64_t tickUsec = 250'000;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const auto nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1'000;
        std::uint64_t waitUsec = tickUsec;
        pollfd fds[2]{};
        for (int i = 0; i < 2; ++i) {
            fds[i] = {observers[i]->fd(), observers[i]->events(), 0};
            const auto deadline = observers[i]->timeoutUsec();
            waitUsec = std::min(waitUsec, deadline > nowUsec ? deadline - nowUsec : 0);
        }
        if (poll(fds, 2, static_cast<int>((waitUsec + 999) / 1000)) < 0 && errno != EINTR)
            return false;
        return observers[0]->process() && observers[1]->process();
    }

    void showSetting(std::string_view key) {
        const bool stored = VirelonSharedSettings::isStored(key);
        if (const auto* setting = integerSetting(key)) {
            const auto value = VirelonSharedSettings::value(*setting);
            if (json_)
                out_ << "{\"key\":" << jsonString(key) << ",\"value\":" << value
                     << ",\"stored\":" << (stored ? "true" : "false") << '}';
            else
                out_ << key << ": " << value << (stored ? " (stored)" : " (default)") << '\n';
            return;
        }
        const auto identifier = VirelonSharedSettings::fallbackVoiceIdentifier();
        if (json_) {
            out_ << "{\"key\":" << jsonString(key)
                 << ",\"value\":" << (identifier ? jsonString(*identifier) : "null")
                 << ",\"stored\":" << (stored ? "true" : "false") << '}';
        } else if (identifier) {
            out_ << key << ": " << terminalText(*identifier) << " (stored)\n";
        } else {
            out_ << key << ": "
                 << (stored ? "none (the stored value is not a text)" : "none stored") << '\n';
        }
    }

    int unknownKey(std::string_view key) {
        err_ << "virelon-settings: unknown setting \"" << terminalText(key)
             << "\". The settings are: " << keyList() << ".\n";
        return badUsage;
    }

    int notSaved(std::string_view key) {
        err_ << "virelon-settings: " << key << " could not be saved: the settings at "
             << terminalText(domainLocation()) << " cannot be opened or written.\n";
        return failed;
    }

    std::ostream& out_;
    std::ostream& err_;
    bool json_;
    int blocks_ = 0;
};

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
    Tool tool(out, err, json);
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
