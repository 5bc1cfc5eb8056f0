#pragma once

// Runs a built program as a user would: arguments, extra environment, captured output, exit
// status. For end-to-end tests.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
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

/// A running program with its stdout and stderr connected to pipes.
class Subprocess {
public:
    Subprocess(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::pair<std::string, std::string>>& environment = {}) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

        std::vector<std::string> args{program};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            bool replaced = false;
            for (const auto& [name, value] : environment)
                replaced = replaced || entry.starts_with(name + "=");
            if (!replaced)
                env.push_back(entry);
        }
        for (const auto& [name, value] : environment)
            env.push_back(name + "=" + value);

        auto pointers = [](std::vector<std::string>& strings) {
            std::vector<char*> result;
            for (auto& s : strings)
                result.push_back(s.data());
            result.push_back(nullptr);
            return result;
        };
        auto argv = pointers(args);
        auto envp = pointers(env);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Subprocess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    /// Reads output until `text` has appeared on the chosen stream or the time is up.
    bool waitFor(const std::string& text, bool onStderr = false,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        auto& seen = onStderr ? errText_ : outText_;
        while (seen.find(text) == std::string::npos) {
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
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pump(deadline)) {
        }
        Finished result;
        if (pid_ > 0) {
            if (std::chrono::steady_clock::now() >= deadline)
                ::kill(pid_, SIGKILL);
            int wstatus = 0;
            waitpid(pid_, &wstatus, 0);
            pid_ = -1;
            result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        }
        result.out = outText_;
        result.err = errText_;
        return result;
    }

private:
    /// Reads what is available; false once both streams ended or the deadline passed.
    bool pump(std::chrono::steady_clock::time_point deadline) {
        pollfd fds[2] = {{outOpen_ ? out_ : -1, POLLIN, 0}, {errOpen_ ? err_ : -1, POLLIN, 0}};
        if (!outOpen_ && !errOpen_)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            const auto n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0)
                (i == 0 ? outOpen_ : errOpen_) = false;
            else
                (i == 0 ? outText_ : errText_).append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool outOpen_ = true, errOpen_ = true;
    std::string outText_, errText_;
};

inline Finished
runProgram(const std::string& program, const std::vector<std::string>& arguments,
           const std::vector<std::pair<std::string, std::string>>& environment = {}) {
    return Subprocess(program, arguments, environment).finish();
}

} // namespace virelon::test
