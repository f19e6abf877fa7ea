// qor-sim: answers as one or more modules on a pseudo-terminal or TCP link.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/options.h"
#include "sim/server.h"

namespace {

int g_stop_write = -1;

extern "C" void OnStopSignal(int) {
    const int saved = errno;
    const char c = 1;
    (void)!write(g_stop_write, &c, 1);
    errno = saved;
}

extern "C" void OnSilenceSignal(int) {
    qor::sim::ToggleSilence();
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const qor::sim::ParseResult parsed = qor::sim::ParseArgs(args);
    if (!parsed.options) {
        std::fprintf(stderr, "qor-sim: %s\n(qor-sim --help lists the options)\n",
                     parsed.error.c_str());
        return 2;
    }
    if (parsed.options->help) {
        std::fputs(qor::sim::UsageText(), stdout);
        return 0;
    }
    if (parsed.options->version) {
        std::puts("qor-sim " QOR_VERSION);
        return 0;
    }

    // The signal handlers only write to this pipe; every wait in the program
    // polls its read end, which stays readable once written.
    int stop_pipe[2];
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("qor-sim: pipe");
        return 1;
    }
    g_stop_write = stop_pipe[1];
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction silence {};
    silence.sa_handler = OnSilenceSignal;
    sigemptyset(&silence.sa_mask);
    silence.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &silence, nullptr);

    if (parsed.options->faults.baud > 0) {
        // Pacing sleeps for a character time at a time; the default timer
        // slack would make each of them end tens of microseconds late.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }

    qor::sim::Shared shared(*parsed.options, stop_pipe[0]);
    return parsed.options->mode == qor::sim::Mode::kPty ? qor::sim::RunPty(shared)
                                                        : qor::sim::RunTcp(shared);
}
