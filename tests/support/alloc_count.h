// Counts heap allocations made anywhere in the process, the libraries
// included. A program that links alloc_count.cpp defines malloc and friends
// itself and exports them (ENABLE_EXPORTS, default visibility), so the
// dynamic linker binds every caller to these. Not for sanitizer builds,
// which bring their own allocator.
#ifndef QOR_TESTS_SUPPORT_ALLOC_COUNT_H
#define QOR_TESTS_SUPPORT_ALLOC_COUNT_H

namespace qor::test {

// Allocations since the program started; the difference of two readings
// is what the code between them allocated.
long AllocationCount();

}  // namespace qor::test

#endif
