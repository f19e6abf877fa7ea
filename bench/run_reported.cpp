#include "bench/run_reported.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace qor::bench {

namespace {

class ErrorNotingReporter : public benchmark::ConsoleReporter {
  public:
    ErrorNotingReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            any_error = any_error || run.error_occurred;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    bool any_error = false;
};

}  // namespace

bool RunReported() {
    ErrorNotingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.any_error;
}

}  // namespace qor::bench
