// Runs the registered benchmarks with the console reporter and tells whether
// any of them stopped with an error, so that a script (and CTest) learns it
// from the program's exit status.
#ifndef QOR_BENCH_RUN_REPORTED_H
#define QOR_BENCH_RUN_REPORTED_H

namespace qor::bench {

// Runs every benchmark selected on the command line and shuts the library
// down; true when one of them reported an error.
bool RunReported();

}  // namespace qor::bench

#endif  // QOR_BENCH_RUN_REPORTED_H
