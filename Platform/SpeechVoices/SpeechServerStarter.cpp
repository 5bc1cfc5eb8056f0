#include "SpeechServerStarter.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace virelon::platform::speechd {

namespace {
constexpr const char* spawnProgram = "speech-dispatcher";
} // namespace

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

    std::string program = spawnProgram;
    std::string spawnOption = "--spawn";
    std::string methodOption = "--communication-method";
    std::string method = "unix_socket";
    std::string pathOption = "--socket-path";
    std::string path = socketPath;
    char* arguments[] = {program.data(), spawnOption.data(), methodOption.data(),
                         method.data(),  pathOption.data(),  path.data(),
                         nullptr};
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, spawnProgram, &actions, &attributes, arguments, environ);
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
