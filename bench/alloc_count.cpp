#include "alloc_count.h"

#include <atomic>
#include <cstddef>

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
void __libc_free(void *);
}

namespace {

// Relaxed: the count is read only between timed loops, on the thread that
// ran them.
std::atomic<long> allocations{0};

void Count() {
    allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace qor_bench {

long AllocationCount() {
    return allocations.load(std::memory_order_relaxed);
}

}  // namespace qor_bench

#define QOR_BENCH_EXPORT extern "C" __attribute__((visibility("default")))

QOR_BENCH_EXPORT void *malloc(std::size_t size) {
    Count();
    return __libc_malloc(size);
}
QOR_BENCH_EXPORT void *calloc(std::size_t n, std::size_t size) {
    Count();
    return __libc_calloc(n, size);
}
QOR_BENCH_EXPORT void *realloc(void *p, std::size_t size) {
    Count();
    return __libc_realloc(p, size);
}
QOR_BENCH_EXPORT void *memalign(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
QOR_BENCH_EXPORT int posix_memalign(void **p, std::size_t alignment, std::size_t size) {
    Count();
    *p = __libc_memalign(alignment, size);
    return *p != nullptr ? 0 : 12;
}
QOR_BENCH_EXPORT void *aligned_alloc(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
QOR_BENCH_EXPORT void free(void *p) {
    __libc_free(p);
}
