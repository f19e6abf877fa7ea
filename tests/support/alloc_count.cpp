#include "tests/support/alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
// The C library's own allocator, under the names it exports for this.
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
void __libc_free(void *);
}

namespace {

// Relaxed: the count is read between the pieces of work it measures, on
// the thread that ran them.
std::atomic<long> g_allocations{0};

void Count() {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace qor::test {

long AllocationCount() {
    return g_allocations.load(std::memory_order_relaxed);
}

}  // namespace qor::test

#define QOR_ALLOC_EXPORT extern "C" __attribute__((visibility("default")))

QOR_ALLOC_EXPORT void *malloc(std::size_t size) {
    Count();
    return __libc_malloc(size);
}
QOR_ALLOC_EXPORT void *calloc(std::size_t n, std::size_t size) {
    Count();
    return __libc_calloc(n, size);
}
QOR_ALLOC_EXPORT void *realloc(void *p, std::size_t size) {
    Count();
    return __libc_realloc(p, size);
}
QOR_ALLOC_EXPORT void *memalign(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
QOR_ALLOC_EXPORT int posix_memalign(void **p, std::size_t alignment, std::size_t size) {
    Count();
    *p = __libc_memalign(alignment, size);
    return *p != nullptr ? 0 : ENOMEM;
}
QOR_ALLOC_EXPORT void *aligned_alloc(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
QOR_ALLOC_EXPORT void free(void *p) {
    __libc_free(p);
}
