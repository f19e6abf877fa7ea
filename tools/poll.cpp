// qor poll: a query repeated on a schedule, one CSV row each, until the
// count is reached or Ctrl-C.
#include <atomic>
#include <chrono>
#include <string>

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
#include "run.h"

namespace qor::cli {
namespace {

// Set from a signal handler on POSIX and from the console's handler thread
// on Windows: a lock-free atomic is safe in both.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag must be lock-free");

#ifdef _WIN32
// Ctrl-C and Ctrl-Break in the console. Windows calls the handler on a
// thread of its own, so no sleep is cut short: SleepUntil() wakes often
// enough to notice the flag. Returning TRUE keeps the process alive, so poll
// finishes its current row and returns normally.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        g_interrupted = true;
        return TRUE;
    }
    return FALSE;
}

void CatchInterrupt() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

// Sleeps until the given time, in slices short enough that Ctrl-C ends the
// wait at once to the eye.
void SleepUntil(const std::chrono::steady_clock::time_point &when) {
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
extern "C" void OnInterrupt(int) {
    g_interrupted = true;
}

// No SA_RESTART: Ctrl-C should end a sleep at once, and a pending read ends
// within one character time-out.
void CatchInterrupt() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

// Sleeps until the given time, returning early on SIGINT.
void SleepUntil(const std::chrono::steady_clock::time_point &when) {
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

}  // namespace

int RunPoll(const CommandLine &line) {
    const Options &o = line.options;
    if (!PrepareLink(o, std::nullopt)) {
        return kExitLinkFault;
    }
    ApplySwitches(o);
    CatchInterrupt();

    const CommandRow &row = *line.invocation.row;
    const auto interval = std::chrono::milliseconds(*o.interval_ms);
    PrintLine(CsvHeader(row.result));
    auto next = std::chrono::steady_clock::now();
    for (long rows = 0; !g_interrupted && (!o.count || rows < *o.count);) {
        const std::string time = IsoUtc(std::chrono::system_clock::now());
        Outcome out;
        row.call(o.port, o.address, line.invocation, out);
        PrintLine(CsvRow(time, row.result, out));
        if (o.count && ++rows >= *o.count) {
            break;
        }
        next += interval;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) {
            next = now;  // a slow module delays the schedule instead of bunching rows
        }
        SleepUntil(next);
    }
    return kExitOk;
}

}  // namespace qor::cli
