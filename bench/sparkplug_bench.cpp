// What the gateway's Sparkplug B node spends encoding a reading: the DDATA
// payload of one metric it builds for every reading it publishes (under its
// lock, on the poller's thread), beside the JSON payload the same reading
// gets on its topic; and a DBIRTH of many metrics, per metric. The bytes and
// the heap allocations of each payload come with the times.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/run_reported.h"
#include "gateway/mqtt/json.h"
#include "gateway/sparkplug/sparkplug_codec.h"
#include "tests/support/alloc_count.h"

namespace {

using qor::gateway::sparkplug::Metric;

constexpr std::uint64_t kTimestamp = 1764590400250;  // 2025-12-01T12:00:00.250Z

Metric Reading(const std::string &name, double value) {
    Metric m;
    m.name = name;
    m.datatype = qor::gateway::sparkplug::kDouble;
    m.timestamp = kTimestamp;
    m.number = value;
    return m;
}

// Runs encode once per iteration; counts its bytes and allocations.
template <typename Encode>
void Measure(benchmark::State &state, Encode encode, double items_per_payload) {
    std::size_t bytes = encode().size();
    long before = qor::test::AllocationCount();
    for (auto _ : state) {
        std::string payload = encode();
        benchmark::DoNotOptimize(payload.data());
    }
    long allocations = qor::test::AllocationCount() - before;
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(
        static_cast<std::int64_t>(static_cast<double>(state.iterations()) * items_per_payload));
}

// DDATA of one reading, as SparkplugNode::OnReading sends it.
void SparkplugData(benchmark::State &state) {
    std::vector<Metric> metrics{Reading("rd", 72.1)};
    std::uint64_t seq = 0;
    Measure(
        state,
        [&] {
            seq = (seq + 1) % 256;
            return qor::gateway::sparkplug::Encode(kTimestamp, seq, metrics);
        },
        1);
}

// The same reading's JSON payload on PREFIX/LINK/MODULE/QUERY.
void JsonReading(benchmark::State &state) {
    qor::gateway::Reading reading;
    reading.value = 72.1;
    reading.when = std::chrono::system_clock::time_point(std::chrono::milliseconds(kTimestamp));
    reading.seq = 17;
    reading.boot = 7;
    Measure(
        state, [&] { return qor::gateway::ReadingPayload(reading); }, 1);
}

// A DBIRTH of range(0) metrics, each with a unit; items are metrics.
void SparkplugBirth(benchmark::State &state) {
    std::vector<Metric> metrics;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        metrics.push_back(Reading("poll" + std::to_string(i), 20.0 + static_cast<double>(i)));
        metrics.back().unit = "degC";
    }
    Measure(
        state, [&] { return qor::gateway::sparkplug::Encode(kTimestamp, 1, metrics); },
        static_cast<double>(metrics.size()));
}

BENCHMARK(SparkplugData);
BENCHMARK(JsonReading);
BENCHMARK(SparkplugBirth)->Arg(8)->Arg(64);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    return qor::bench::RunReported() ? 1 : 0;
}
