// The CPU cost of a transaction in the built libqor_dll, with the byte link
// taken out of the picture: this program exports its own QOR_WriteByte and
// QOR_ReadByte (the dynamic linker binds the library to them instead of
// libqor_comm), which note the frame and hand out a reply made in advance.
// What is left is framing, reply checking and number conversion, plus one
// call through the PLT per character, as a host pays it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>

#include "bench/run_reported.h"
#include "qor_dll.h"
#include "tests/support/alloc_count.h"

namespace {

// The replies of the running benchmark, back to back, and where the next
// character comes from.
const char *g_replies = "";
std::size_t g_reply_at = 0;
// The characters of the last transaction's frames (kept for the check before
// timing starts) and how many were written and read.
char g_written[128];
std::size_t g_written_count = 0;
std::size_t g_read_count = 0;

void StartTransaction(const char *replies) {
    g_replies = replies;
    g_reply_at = 0;
    g_written_count = 0;
    g_read_count = 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int QOR_WriteByte(int, int character) {
    g_written[g_written_count++ & (sizeof g_written - 1)] = static_cast<char>(character);
    return 1;
}

extern "C" __attribute__((visibility("default"))) int QOR_ReadByte(int) {
    char c = g_replies[g_reply_at];
    if (c == '\0') {
        return -1;
    }
    ++g_reply_at;
    ++g_read_count;
    return static_cast<unsigned char>(c);
}

namespace {

struct Case {
    const char *frames;   // what the library must write
    const char *replies;  // what the module answers
    // One transaction; false when the library did not report success with
    // the expected result.
    bool (*call)();
};

bool CallRd() {
    int status = -1;
    int error = -1;
    float value = QOR_RD(1, '1', &status, &error);
    return status == 0 && std::fabs(value - 72.1f) < 1e-3f;
}

bool CallSp() {
    int status = -1;
    int error = -1;
    return QOR_SP(1, '1', -3.46f, &status, &error) == 0 && status == 0;
}

bool CallDi() {
    int status = -1;
    int error = -1;
    // Byte 1 counted from the end is 0x5A: bit 1 is set.
    return QOR_DI(1, '1', 2, 1, 1, &status, &error) == 1 && status == 0;
}

const Case kRd = {"$1RD\r", "*+00072.10\r", CallRd};
const Case kSp = {"$1WE\r$1SP-00003.46\r", "*\r*\r", CallSp};
const Case kDi = {"$1DI\r", "*0F5A\r", CallDi};

void RunCase(benchmark::State &state, const Case &c) {
    // The library must have used this program's link and produced exactly
    // the frames expected; otherwise the figure would time something else.
    StartTransaction(c.replies);
    bool ok = c.call();
    std::size_t frame_length = std::strlen(c.frames);
    if (!ok || g_written_count != frame_length ||
        std::memcmp(g_written, c.frames, frame_length) != 0 ||
        g_read_count != std::strlen(c.replies)) {
        state.SkipWithError("the library did not run the expected transaction over this link");
        return;
    }
    std::size_t characters = g_written_count + g_read_count;
    long failures = 0;
    long allocations_before = qor::test::AllocationCount();
    for (auto _ : state) {
        StartTransaction(c.replies);
        failures += !c.call();
    }
    long allocations = qor::test::AllocationCount() - allocations_before;
    if (failures != 0) {
        state.SkipWithError("a transaction failed");
        return;
    }
    state.counters["allocs_per_tx"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    state.counters["chars"] = static_cast<double>(characters);
}

void BM_RD(benchmark::State &state) {
    RunCase(state, kRd);
}
void BM_SP(benchmark::State &state) {
    RunCase(state, kSp);
}
void BM_DI(benchmark::State &state) {
    RunCase(state, kDi);
}

BENCHMARK(BM_RD)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_SP)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_DI)->Unit(benchmark::kNanosecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    benchmark::AddCustomContext("compiler", QOR_BENCH_COMPILER);
    bool any_error = qor::bench::RunReported();
    return any_error ? 1 : 0;
}
