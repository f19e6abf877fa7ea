#include "sim_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace e2e {

SimProcess::SimProcess(const std::vector<std::string> &arguments) {
    int out[2];
    if (pipe(out) != 0) {
        return;
    }
    std::vector<std::string> all{QOR_SIM_PATH};
    all.insert(all.end(), arguments.begin(), arguments.end());
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char *> argv;
        for (auto &a : all) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    // Ready once the first line is out; give up after 5 s.
    long long deadline = NowMs() + 5000;
    char c;
    while (NowMs() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        if (read(out[0], &c, 1) != 1 || c == '\n') {
            break;
        }
        where_ += c;
    }
    // Kept open: a simulator writing to a closed pipe would be killed by it.
    output_ = out[0];
}

void SimProcess::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (output_ >= 0) {
        close(output_);
        output_ = -1;
    }
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace e2e
