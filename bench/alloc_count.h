// Counts heap allocations made anywhere in the process (the libraries
// included): the benchmark programs define malloc and friends themselves and
// export them, so the dynamic linker binds every caller to these.
#ifndef QOR_BENCH_ALLOC_COUNT_H
#define QOR_BENCH_ALLOC_COUNT_H

namespace qor_bench {

// Allocations since the program started.
long AllocationCount();

}  // namespace qor_bench

#endif  // QOR_BENCH_ALLOC_COUNT_H
