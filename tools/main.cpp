// qor: one library call per run, plus scan, poll and demo. Parsing and
// formatting live in cli_args.cpp / cli_format.cpp; this file only talks to
// the library, the terminal and the environment.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <thread>
#else
#include <signal.h>
#include <time.h>
#endif

#include "cli.h"
#include "demo.h"
#include "qor_comm.h"
#include "qor_dll.h"

using namespace qor_cli;

namespace {

constexpr int kScanTimeoutMs = 30;

void fail(const std::string &message) {
    std::fprintf(stderr, "qor: %s\n", message.c_str());
}

void printLine(const std::string &line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Opens the port on the target the options name. Without --link and without
// a time-out nothing is opened here: the link then opens the port's own
// default target on first use, exactly as for any other host program.
bool prepareLink(const Options &o, std::optional<int> fallbackTimeoutMs) {
    const std::optional<int> timeout = o.timeoutMs ? o.timeoutMs : fallbackTimeoutMs;
    std::string target;
    if (o.link) {
        target = timeout ? withTimeout(*o.link, *timeout) : *o.link;
    } else if (timeout) {
        const std::string variable = "QOR_COMM_PORT" + std::to_string(o.port);
        target = withTimeout(defaultTarget(o.port, std::getenv(variable.c_str())), *timeout);
    } else {
        return true;
    }
    if (!QOR_OpenPort(o.port, target.c_str())) {
        fail("link fault: cannot open port " + std::to_string(o.port) + " on '" + target + "'");
        return false;
    }
    return true;
}

void applySwitches(const Options &o) {
    QOR_EnableDebug(o.debug ? 1 : 0);
    QOR_EnableCmdChecksum(o.checksum ? 1 : 0);
}

int runSingle(const CommandLine &cl) {
    const Options &o = cl.options;
    if (!prepareLink(o, std::nullopt)) {
        return kExitLinkFault;
    }
    applySwitches(o);
    Outcome out;
    cl.invocation.row->call(o.port, o.address, cl.invocation, out);
    if (out.status != 0) {
        fail(describeFailure(out.status, out.error));
        return exitCodeFor(out.status);
    }
    printLine(formatResult(cl.invocation.row->result, out));
    return kExitOk;
}

int runScan(const CommandLine &cl) {
    const Options &o = cl.options;
    if (!prepareLink(o, kScanTimeoutMs)) {
        return kExitLinkFault;
    }
    applySwitches(o);
    const CommandRow *rd = findCommand("rd");
    Invocation inv;
    inv.row = rd;
    int found = 0;
    for (int address = '!'; address <= '~'; ++address) {
        Outcome out;
        rd->call(o.port, address, inv, out);
        if (out.status == 200) {
            // Every further address would fail the same way.
            fail(describeFailure(out.status, out.error));
            return kExitLinkFault;
        }
        if (!moduleAnswered(out.status, out.error)) {
            continue;
        }
        ++found;
        const std::string what =
            out.status == 0 ? formatFixed2(out.value) : describeFailure(out.status, out.error);
        printLine(std::string(1, static_cast<char>(address)) + "  " + what);
    }
    if (found == 0) {
        fail("no module answered on port " + std::to_string(o.port));
        return kExitModuleFault;
    }
    printLine(std::to_string(found) + (found == 1 ? " module answered" : " modules answered"));
    return kExitOk;
}

// Set from a signal handler on POSIX and from the console's handler thread
// on Windows: a lock-free atomic is safe in both.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag must be lock-free");

#ifdef _WIN32
// Ctrl-C and Ctrl-Break in the console. Windows calls the handler on a
// thread of its own, so no sleep is cut short: sleepUntil() wakes often
// enough to notice the flag. Returning TRUE keeps the process alive, so poll
// finishes its current row and returns normally.
BOOL WINAPI onConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        g_interrupted = true;
        return TRUE;
    }
    return FALSE;
}

void catchInterrupt() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

// Sleeps until the given time, in slices short enough that Ctrl-C ends the
// wait at once to the eye.
void sleepUntil(const std::chrono::steady_clock::time_point &when) {
    constexpr auto kSlice = std::chrono::milliseconds(50);
    while (!g_interrupted) {
        const auto left = when - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return;
        }
        std::this_thread::sleep_for(left < kSlice ? left : kSlice);
    }
}
#else
extern "C" void onInterrupt(int) {
    g_interrupted = true;
}

// No SA_RESTART: Ctrl-C should end a sleep at once, and a pending read ends
// within one character time-out.
void catchInterrupt() {
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

// Sleeps until the given time, returning early on SIGINT.
void sleepUntil(const std::chrono::steady_clock::time_point &when) {
    while (!g_interrupted) {
        const auto left = when - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        nanosleep(&ts, nullptr);  // EINTR just loops and checks the flag
    }
}
#endif

int runPoll(const CommandLine &cl) {
    const Options &o = cl.options;
    if (!prepareLink(o, std::nullopt)) {
        return kExitLinkFault;
    }
    applySwitches(o);

    catchInterrupt();

    const CommandRow &row = *cl.invocation.row;
    const auto interval = std::chrono::milliseconds(*o.intervalMs);
    printLine(csvHeader(row.result));
    auto next = std::chrono::steady_clock::now();
    for (long rows = 0; !g_interrupted && (!o.count || rows < *o.count);) {
        const std::string time = isoUtc(std::chrono::system_clock::now());
        Outcome out;
        row.call(o.port, o.address, cl.invocation, out);
        printLine(csvRow(time, row.result, out));
        if (o.count && ++rows >= *o.count) {
            break;
        }
        next += interval;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) {
            next = now;  // a slow module delays the schedule instead of bunching rows
        }
        sleepUntil(next);
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine cl;
    std::string error;
    if (!parseCommandLine(args, cl, error)) {
        fail(error);
        std::fprintf(stderr, "%s\n", usageHint().c_str());
        return kExitUsage;
    }
    switch (cl.action) {
        case Action::Help:
            std::fputs((cl.helpTopic.empty() ? overviewHelp() : commandHelp(cl.helpTopic)).c_str(),
                       stdout);
            return kExitOk;
        case Action::Version:
            printLine(versionText());
            return kExitOk;
        case Action::Single:
            return runSingle(cl);
        case Action::Scan:
            return runScan(cl);
        case Action::Poll:
            return runPoll(cl);
        case Action::Demo:
            return runDemo(cl.options.debug);
    }
    return kExitUsage;
}
