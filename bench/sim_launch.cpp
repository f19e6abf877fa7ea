#include "sim_launch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace qor_bench {

namespace {

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

SimLaunch::SimLaunch(const std::string &program, const std::vector<std::string> &arguments) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return;
    }
    pid_ = pid;
    // Ready once the first line is out; a simulator that says nothing within
    // 5 s is taken as not started.
    long long deadline = NowMs() + 5000;
    std::string line;
    while (NowMs() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        char c;
        if (read(out[0], &c, 1) != 1) {
            break;
        }
        if (c == '\n') {
            path_ = line;
            break;
        }
        line += c;
    }
    // Kept open: a simulator writing to a closed pipe would be killed by it.
    output_ = out[0];
}

SimLaunch::~SimLaunch() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) {
        close(output_);
    }
}

}  // namespace qor_bench
