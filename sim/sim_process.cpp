#include "sim/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace qor::test {
namespace {

// Reads fd into text until stop(text) holds, the writer closes, or the
// deadline passes. False unless stop held.
template <typename Stop>
bool ReadUntil(int fd, std::string &text, long long deadline_ms, Stop stop) {
    while (!stop(text)) {
        const long long left = deadline_ms - NowMs();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

SimProcess::SimProcess(const SimStart &start, const std::vector<std::string> &arguments) {
    Start(start, arguments);
}

void SimProcess::Start(const SimStart &start, const std::vector<std::string> &arguments) {
    int out[2];
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    if (start.capture_log && pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (start.capture_log) {
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    }
    std::vector<std::string> words{start.program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    const auto spawn = start.search_path ? posix_spawnp : posix_spawn;
    if (spawn(&pid_, start.program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    output_ = out[0];
    if (start.capture_log) {
        close(err[1]);
        log_ = err[0];
    }
    std::string first;
    if (pid_ > 0 &&
        ReadUntil(output_, first, NowMs() + start.ready_timeout_ms,
                  [](const std::string &t) { return t.find('\n') != std::string::npos; })) {
        where_ = first.substr(0, first.find('\n'));
    }
}

int SimProcess::Stop() {
    int status = -1;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const long long deadline = NowMs() + 5000;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (NowMs() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                status = -1;
                break;
            }
            SleepMs(5);
        }
        pid_ = -1;
    }
    for (int *fd : {&output_, &log_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    return status;
}

bool SimProcess::WaitLog(const std::string &text, int timeout_ms) {
    if (log_ < 0) {
        return false;
    }
    ReadUntil(log_, log_text_, NowMs() + timeout_ms,
              [&text](const std::string &t) { return t.find(text) != std::string::npos; });
    const size_t at = log_text_.find(text);
    if (at == std::string::npos) {
        return false;
    }
    log_text_.erase(0, at + text.size());
    return true;
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace qor::test
