// The library allocates no heap memory in a transaction: every command runs
// here with malloc and friends counted, over a byte link of the test's own
// that allocates nothing either (this program exports it, so the dynamic
// linker binds libqor_dll to it).
#include <dlfcn.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "qor_dll.h"

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
void __libc_free(void *);
}

namespace {

bool counting = false;
long allocations = 0;

const char *replies = "";
std::size_t reply_at = 0;
long characters_written = 0;

}  // namespace

extern "C" {

void *malloc(std::size_t size) {
    allocations += counting;
    return __libc_malloc(size);
}
void *calloc(std::size_t n, std::size_t size) {
    allocations += counting;
    return __libc_calloc(n, size);
}
void *realloc(void *p, std::size_t size) {
    allocations += counting;
    return __libc_realloc(p, size);
}
void *memalign(std::size_t alignment, std::size_t size) {
    allocations += counting;
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **p, std::size_t alignment, std::size_t size) {
    allocations += counting;
    *p = __libc_memalign(alignment, size);
    return *p ? 0 : 12;
}
void *aligned_alloc(std::size_t alignment, std::size_t size) {
    allocations += counting;
    return __libc_memalign(alignment, size);
}
void free(void *p) {
    __libc_free(p);
}

int QOR_WriteByte(int, int) {
    ++characters_written;
    return 1;
}

int QOR_ReadByte(int) {
    if (replies[reply_at] == '\0') {
        return -1;
    }
    return static_cast<unsigned char>(replies[reply_at++]);
}
}

int main() {
    struct {
        const char *name;
        const char *link;
        int (*call)();
    } cases[] = {
        {"RD", "*+00072.10\r",
         [] {
             int s, e;
             return static_cast<int>(QOR_RD(1, '1', &s, &e));
         }},
        {"RH", "*+00100.00L\r",
         [] {
             int m, s, e;
             return static_cast<int>(QOR_RH(1, '1', &m, &s, &e));
         }},
        {"EC", "*\r*0000123\r",
         [] {
             int s, e;
             return QOR_EC(1, '1', &s, &e);
         }},
        {"SP", "*\r*\r",
         [] {
             int s, e;
             return QOR_SP(1, '1', -3.456f, &s, &e);
         }},
        {"HI", "*\r*\r",
         [] {
             int s, e;
             return QOR_HI(1, '1', 1, 100.0f, &s, &e);
         }},
        {"AO", "*\r",
         [] {
             int s, e;
             return QOR_AO(1, '1', 72.1f, &s, &e);
         }},
        {"DO", "*\r",
         [] {
             int s, e;
             return QOR_DO(1, '1', 1, 2, 2, &s, &e);
         }},
        {"DI", "*0F5A\r",
         [] {
             int s, e;
             return QOR_DI(1, '1', 2, 1, 1, &s, &e);
         }},
        {"RB", "*1\r",
         [] {
             int s, e;
             return QOR_RB(1, '1', 5, &s, &e);
         }},
        {"SB", "?1 BAD\r",
         [] {
             int s, e;
             return QOR_SB(1, '1', 5, &s, &e);
         }},
        {"silent", "",
         [] {
             int s, e;
             return static_cast<int>(QOR_ND(1, '1', &s, &e));
         }},
    };
    // The count itself must work: one allocation through the dynamic linker,
    // as the library would make it.
    auto *dynamic_malloc = reinterpret_cast<void *(*)(std::size_t)>(dlsym(RTLD_DEFAULT, "malloc"));
    counting = true;
    free(dynamic_malloc(16));
    counting = false;
    if (allocations != 1) {
        std::fprintf(stderr, "allocations are not counted\n");
        return 1;
    }
    int failed = 0;
    for (int checksum = 0; checksum <= 1; ++checksum) {
        QOR_EnableCmdChecksum(static_cast<unsigned char>(checksum));
        for (const auto &c : cases) {
            replies = c.link;
            reply_at = 0;
            allocations = 0;
            counting = true;
            c.call();
            counting = false;
            if (allocations != 0) {
                std::fprintf(stderr, "%s allocated %ld times\n", c.name, allocations);
                ++failed;
            }
        }
    }
    if (characters_written == 0) {
        std::fprintf(stderr, "the library did not use this program's byte link\n");
        return 1;
    }
    int total = 2 * static_cast<int>(sizeof cases / sizeof cases[0]);
    std::printf("%d passed, %d failed\n", total - failed, failed);
    return failed == 0 ? 0 : 1;
}
