// qor poll: queries repeated on a schedule, one CSV row each time, until
// the count is reached, Ctrl-C, or standard output's reader is gone.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <signal.h>
#endif

#include "cli/cli.h"
#include "cli/run.h"
#include "common/iso_time.h"
#include "qor_dll.h"

namespace qor::cli {
namespace {

// Set from a signal handler on POSIX and from the console's handler thread
// on Windows: a lock-free atomic is safe in both.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag must be lock-free");

#ifdef _WIN32
// Ctrl-C and Ctrl-Break in the console. Windows calls the handler on a
// thread of its own, so no wait is cut short: SleepUntil() waits in slices
// short enough to notice the flag. Returning TRUE keeps the process alive,
// so poll finishes its current row and returns normally.
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

constexpr std::chrono::milliseconds kSlice{50};
#else
extern "C" void OnInterrupt(int) {
    g_interrupted = true;
}

// No SA_RESTART: Ctrl-C should end a wait at once, and a pending read ends
// within one character time-out.
void CatchInterrupt() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

// The signal ends the wait itself; the slice only bounds one poll().
constexpr std::chrono::milliseconds kSlice{1000};
#endif

// Sleeps until the given time, returning early on Ctrl-C; throws
// OutputError at once when standard output's reader has gone.
void SleepUntil(const std::chrono::steady_clock::time_point &when) {
    while (!g_interrupted) {
        const auto left = when - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return;
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left);
        if (OutputClosedWithin(static_cast<int>(std::min(ms, kSlice).count()))) {
            throw OutputError("standard output was closed by its reader", true);
        }
    }
}

// One query of one module on one bus, with its latest outcome.
struct Cell {
    const Invocation *query;
    int address;
    Outcome out;
    std::string reported;  // the failure last said on standard error
};

struct Bus {
    const LinkInUse *link;
    std::vector<Cell> cells;
};

// Each link's cells: the queries in the order given, each for every
// address, as the columns run.
std::vector<Bus> Layout(const CommandLine &line, const std::vector<LinkInUse> &links) {
    std::vector<Bus> buses;
    for (const LinkInUse &link : links) {
        Bus bus{&link, {}};
        for (const Invocation &query : line.queries) {
            for (const int address : line.options.addresses) {
                bus.cells.push_back(Cell{&query, address, Outcome{}, ""});
            }
        }
        buses.push_back(std::move(bus));
    }
    return buses;
}

bool OneCell(const std::vector<Bus> &buses) {
    return buses.size() == 1 && buses.front().cells.size() == 1;
}

std::string Header(const std::vector<Bus> &buses) {
    if (OneCell(buses)) {
        return CsvHeader(buses.front().cells.front().query->row->result);
    }
    std::string header = "time";
    for (const Bus &bus : buses) {
        const std::string port = buses.size() > 1 ? "p" + std::to_string(bus.link->port) + ":" : "";
        for (const Cell &cell : bus.cells) {
            const std::string name = port + std::string(1, static_cast<char>(cell.address)) + ":" +
                                     QueryName(*cell.query);
            header += "," + CsvCellHeader(name, cell.query->row->result);
        }
    }
    return header;
}

// Says a cell's failure on standard error when it begins or changes, not
// on every row.
void ReportChange(Cell &cell, const LinkInUse &link) {
    if (cell.out.status == QOR_STATUS_OK) {
        cell.reported.clear();
        return;
    }
    std::string text = DescribeFailure(FailureOf(cell.out, *cell.query, link, cell.address));
    if (text != cell.reported) {
        ReportError(text);
        cell.reported = std::move(text);
    }
}

void PollBus(Bus &bus, int retries) {
    for (Cell &cell : bus.cells) {
        cell.out = CallModule(*cell.query, *bus.link, cell.address, retries);
    }
}

// One row: the buses side by side, one thread each.
std::string TakeRow(std::vector<Bus> &buses, int retries) {
    const std::string time = text::IsoUtc(std::chrono::system_clock::now());
    if (buses.size() == 1) {
        PollBus(buses.front(), retries);
    } else {
        std::vector<std::thread> threads;
        for (Bus &bus : buses) {
            threads.emplace_back(PollBus, std::ref(bus), retries);
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
    }
    std::string row = time;
    for (Bus &bus : buses) {
        for (Cell &cell : bus.cells) {
            ReportChange(cell, *bus.link);
            row += "," + CsvCell(cell.query->row->result, cell.out);
        }
    }
    return row;
}

}  // namespace

int RunPoll(const CommandLine &line) {
    const Options &o = line.options;
    const TraceSession trace(o.trace);
    std::vector<LinkInUse> links;
    int exit_code = kExitOk;
    if (!PrepareLinks(o, std::nullopt, links, exit_code)) {
        return exit_code;
    }
    ApplySwitches(o);
    CatchInterrupt();

    std::vector<Bus> buses = Layout(line, links);
    const auto interval = std::chrono::milliseconds(*o.interval_ms);
    PrintLine(Header(buses));
    auto next = std::chrono::steady_clock::now();
    for (long rows = 0; !g_interrupted && (!o.count || rows < *o.count);) {
        PrintLine(TakeRow(buses, o.retries));
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
