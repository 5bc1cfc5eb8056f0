#pragma once

// Runs a built program as a user would: arguments, extra environment, captured output, exit
// status.

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace virelon::test {

struct Finished {
    int status = -1; ///< exit status, or -1 when killed or not started
    std::string out, err;
};
using Environment = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;

/// A running program with its stdout and stderr connected to pipes; killed when it goes away.
class Subprocess {
public:
    Subprocess(const std::string& program, const std::vector<std::string>& arguments,
               const Environment& environment = {}) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<std::string> args{program}, env;
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::map<std::string, std::string> variables; // by name: the environment given wins
        for (char** e = environ; *e; ++e)
            variables.emplace(std::string(*e).substr(0, std::string(*e).find('=')), *e);
        for (const auto& [name, value] : environment)
            variables[name] = name + "=" + value;
        for (const auto& [name, entry] : variables)
            env.push_back(entry);
        auto argv = pointers(args), envp = pointers(env);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~Subprocess() {
        finish(std::chrono::milliseconds(0));
        for (const int fd : fds_)
            close(fd);
    }
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    /// Reads output until `text` has appeared on the chosen stream or the time is up.
    bool waitFor(const std::string& text, bool onStderr = false,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + limit;
        while (text_[onStderr].find(text) == std::string::npos) {
            if (!pump(deadline))
                return false;
        }
        return true;
    }
    void signal(int number) {
        if (pid_ > 0)
            ::kill(pid_, number);
    }

    /// Waits for the end (killing it after `limit`) and returns what it printed.
    Finished finish(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = Clock::now() + limit;
        while (pump(deadline)) {
        }
        if (Clock::now() >= deadline)
            signal(SIGKILL);
        int wstatus = 0;
        const bool exited = pid_ > 0 && waitpid(pid_, &wstatus, 0) == pid_ && WIFEXITED(wstatus);
        pid_ = -1;
        return {exited ? WEXITSTATUS(wstatus) : -1, text_[0], text_[1]};
    }

private:
    static std::vector<char*> pointers(std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& s : strings)
            result.push_back(s.data());
        result.push_back(nullptr);
        return result;
    }
    /// Reads what is available; false once both streams ended or the deadline passed.
    bool pump(Clock::time_point deadline) {
        pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if ((fds_[0] < 0 && fds_[1] < 0) || left <= 0 || poll(fds, 2, static_cast<int>(left)) <= 0)
            return false;
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            const auto n = fds[i].revents ? read(fds_[i], buffer, sizeof buffer) : 1;
            if (n <= 0)
                close(std::exchange(fds_[i], -1));
            else if (fds[i].revents)
                text_[i].append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    std::string text_[2];
};

inline Finished runProgram(const std::string& program, const std::vector<std::string>& arguments,
                           const Environment& environment = {}) {
    return Subprocess(program, arguments, environment).finish();
}

} // namespace virelon::test
