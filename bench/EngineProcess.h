#pragma once

// An engine-side process of the latency benchmarks: started once, it prints "ready" when it
// listens, then one line "<monotonic ns> <sum of values>" each time it has read all six settings.

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace bench {

class EngineProcess {
public:
    explicit EngineProcess(const std::vector<std::string>& command) {
        int fds[2];
        if (pipe(fds) != 0)
            std::exit(1);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> argv;
            for (const auto& argument : command)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
        char line[64];
        if (!out_ || !std::fgets(line, sizeof line, out_) || std::strcmp(line, "ready\n") != 0) {
            std::fprintf(stderr, "%s did not start (no session bus?)\n", command[0].c_str());
            std::exit(1);
        }
    }
    ~EngineProcess() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        std::fclose(out_);
    }
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    /// The moment the engine had read the values, and their sum.
    std::pair<std::int64_t, std::int64_t> nextReadDone() {
        char line[64];
        long long at = 0, sum = 0;
        if (!std::fgets(line, sizeof line, out_) || std::sscanf(line, "%lld %lld", &at, &sum) != 2)
            std::exit(1);
        return {at, sum};
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
};

} // namespace bench
