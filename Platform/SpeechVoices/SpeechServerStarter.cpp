#include "SpeechServerStarter.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string_view>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace virelon::platform::speechd {

namespace {

constexpr std::string_view spawnProgram = "speech-dispatcher";

// The program in the first folder of the search path that holds an executable one, as
// posix_spawnp finds it (an empty entry is the current folder); empty when none does.
std::string findProgram(std::string_view searchPath) {
    for (std::size_t start = 0; start <= searchPath.size();) {
        auto end = searchPath.find(':', start);
        if (end == std::string_view::npos)
            end = searchPath.size();
        const auto folder = searchPath.substr(start, end - start);
        std::string candidate = folder.empty() ? "." : std::string(folder);
        candidate.append("/").append(spawnProgram);
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

} // namespace

ServerStarter::ServerStarter() {
    for (char** variable = environ; *variable; ++variable)
        environment_.emplace_back(*variable);
    const char* path = std::getenv("PATH");
    searchPath_ = path ? path : "/bin:/usr/bin"; // posix_spawnp's default
}

bool ServerStarter::start(const std::string& socketPath) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const auto executable = findProgram(searchPath_);
    if (executable.empty()) {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    std::vector<char*> environment;
    for (auto& variable : environment_)
        environment.push_back(variable.data());
    environment.push_back(nullptr);
    std::string program(spawnProgram);
    std::string spawnOption = "--spawn";
    std::string methodOption = "--communication-method";
    std::string method = "unix_socket";
    std::string pathOption = "--socket-path";
    std::string path = socketPath;
    char* arguments[] = {program.data(), spawnOption.data(), methodOption.data(),
                         method.data(),  pathOption.data(),  path.data(),
                         nullptr};
    pid_t pid = -1;
    const int result =
        posix_spawn(&pid, executable.c_str(), &actions, &attributes, arguments, environment.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0)
        return false;
    spawner_ = pid;
    return true;
}

std::optional<int> ServerStarter::finished() noexcept {
    if (spawner_ < 0)
        return std::nullopt;
    int status = 0;
    const pid_t result = ::waitpid(spawner_, &status, WNOHANG);
    if (result == 0 || (result < 0 && errno == EINTR))
        return std::nullopt;
    spawner_ = -1;
    if (result < 0)
        return 0; // reaped elsewhere (SIGCHLD ignored): the socket tells
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace virelon::platform::speechd
