// The other process of the fault tests: uses the shared settings as the application or the speech
// engine does, in a process of its own that a test can kill or run next to itself.
//   write FIRST           performs writes FIRST, FIRST+1, ... (SettingsWriteSequence.h) until it is
//                         killed; after each write reported saved, and before the next, prints its
//                         number on a line of its own
//   read-loop FIRST LAST  reads all six settings in a loop until SIGTERM, checking that each
//                         snapshot is a state that writes FIRST..LAST pass through and that the
//                         states never go back; then prints "reads R bad B backwards K" and the
//                         first bad snapshot
//   write-to LAST         performs writes 0..LAST, then ends normally
//   read                  prints all six settings once

#include "SettingsWriteSequence.h"
#include "virelon/VirelonSharedSettings.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

using virelon::VirelonSharedSettings;
namespace test = virelon::test;

// Started by a test acting as an unprivileged user, the process's real and effective users
// differ: it may then not read its own environment's sanitizer options, and LeakSanitizer cannot
// stop its threads to look for leaks. Only then is leak checking off.
extern "C" const char* __asan_default_options() {
    return ::getuid() != ::geteuid() ? "detect_leaks=0" : "";
}

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void say(const std::string& line) {
    const std::string text = line + "\n";
    // One write(2) of less than PIPE_BUF bytes: the reader gets the whole line or nothing of it.
    if (::write(STDOUT_FILENO, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::_Exit(3);
}

int writeStorm(std::int64_t first) {
    for (std::int64_t n = first;; ++n) {
        if (!test::performWrite(n)) {
            say("failed " + std::to_string(n));
            return 1;
        }
        say(std::to_string(n));
    }
}

int readLoop(std::int64_t first, std::int64_t last) {
    const auto states = test::statesOfWrites(first, last);
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    VirelonSharedSettings::voiceSettings(); // opens the domain
    say("reading");
    long reads = 0, bad = 0, backwards = 0;
    std::int64_t newest = first - 1;
    std::string firstBad;
    while (!stopRequested) {
        const auto state = test::stateOf(VirelonSharedSettings::voiceSettings());
        ++reads;
        const auto found = states.find(state);
        if (found == states.end()) {
            if (bad++ == 0)
                firstBad = test::describe(state);
        } else if (found->second < newest) {
            ++backwards;
        } else {
            newest = found->second;
        }
    }
    say("reads " + std::to_string(reads) + " bad " + std::to_string(bad) + " backwards " +
        std::to_string(backwards) + (firstBad.empty() ? "" : " first " + firstBad));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "write" && argc == 3)
        return writeStorm(std::atoll(argv[2]));
    if (mode == "read-loop" && argc == 4)
        return readLoop(std::atoll(argv[2]), std::atoll(argv[3]));
    if (mode == "write-to" && argc == 3) {
        for (std::int64_t n = 0, last = std::atoll(argv[2]); n <= last; ++n) {
            if (!test::performWrite(n))
                return 1;
        }
        return 0;
    }
    if (mode == "read" && argc == 2) {
        say(test::describe(test::stateOf(VirelonSharedSettings::voiceSettings())));
        return 0;
    }
    std::fprintf(stderr, "usage: %s write FIRST | read-loop FIRST LAST | write-to LAST | read\n",
                 argv[0]);
    return 2;
}
