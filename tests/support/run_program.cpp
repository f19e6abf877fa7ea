#include "tests/support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace qor::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char *> PointersTo(std::vector<std::string> &words) {
    std::vector<char *> pointers;
    for (std::string &w : words) {
        pointers.push_back(w.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Starts the program with its output on two pipes; the pid, or -1.
pid_t Spawn(std::vector<std::string> words, std::vector<std::string> env, int out[2], int err[2]) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char *> argv = PointersTo(words);
    std::vector<char *> envp = PointersTo(env);
    envp.pop_back();
    for (char **e = environ; *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    return rc == 0 ? pid : -1;
}

// Collects both streams until both close, killing the program at the
// deadline and interrupting it after the lines asked for. True when killed.
bool Collect(pid_t pid, int out_fd, int err_fd, const RunLimits &limits, Finished &r,
             Clock::time_point deadline) {
    bool interrupted = false;
    bool killed = false;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        const int n = ::poll(fds, 2, killed ? 1000 : static_cast<int>(left));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 && killed) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[4096];
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
        if (limits.interrupt_after_lines > 0 && !interrupted &&
            std::count(r.out.begin(), r.out.end(), '\n') >= limits.interrupt_after_lines) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    }
    for (pollfd &p : fds) {
        if (p.fd >= 0) {
            close(p.fd);
        }
    }
    return killed;
}

}  // namespace

Finished RunProgram(const std::vector<std::string> &words, const RunLimits &limits) {
    Finished r;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return r;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return r;
    }
    const auto start = Clock::now();
    const pid_t pid = Spawn(words, limits.extra_env, out, err);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        r.err = "cannot start " + words.at(0);
        return r;
    }
    const bool killed = Collect(pid, out[0], err[0], limits, r,
                                start + std::chrono::milliseconds(limits.deadline_ms));
    int status = 0;
    waitpid(pid, &status, 0);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.exit_code = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace qor::test
