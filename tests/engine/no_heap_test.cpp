// The library allocates no heap memory in a transaction: every command runs
// here with malloc and friends counted (tests/support/alloc_count.h), over a
// byte link of the test's own that allocates nothing either (this program
// exports it, so the dynamic linker binds libqor_dll to it).
#include <dlfcn.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "qor_dll.h"
#include "tests/support/alloc_count.h"

namespace {

const char *g_replies = "";
std::size_t g_reply_at = 0;
long g_characters_written = 0;

struct Case {
    const char *name;
    const char *link;  // what the module answers
    int (*call)();
};

// Where the calls put their status and error; not checked here.
int g_status = 0;
int g_error = 0;

const Case kCases[] = {
    {"RD", "*+00072.10\r", [] { return static_cast<int>(QOR_RD(1, '1', &g_status, &g_error)); }},
    {"RH", "*+00100.00L\r",
     [] {
         int mode = 0;
         return static_cast<int>(QOR_RH(1, '1', &mode, &g_status, &g_error));
     }},
    {"EC", "*\r*0000123\r", [] { return QOR_EC(1, '1', &g_status, &g_error); }},
    {"SP", "*\r*\r", [] { return QOR_SP(1, '1', -3.456f, &g_status, &g_error); }},
    {"HI", "*\r*\r", [] { return QOR_HI(1, '1', 1, 100.0f, &g_status, &g_error); }},
    {"AO", "*\r", [] { return QOR_AO(1, '1', 72.1f, &g_status, &g_error); }},
    {"DO", "*\r", [] { return QOR_DO(1, '1', 1, 2, 2, &g_status, &g_error); }},
    {"DI", "*0F5A\r", [] { return QOR_DI(1, '1', 2, 1, 1, &g_status, &g_error); }},
    {"RB", "*1\r", [] { return QOR_RB(1, '1', 5, &g_status, &g_error); }},
    {"SB", "?1 BAD\r", [] { return QOR_SB(1, '1', 5, &g_status, &g_error); }},
    {"silent", "", [] { return static_cast<int>(QOR_ND(1, '1', &g_status, &g_error)); }},
};

// The count itself must work: one allocation through the dynamic linker, as
// the library would make it.
bool CountWorks() {
    auto *dynamic_malloc = reinterpret_cast<void *(*)(std::size_t)>(dlsym(RTLD_DEFAULT, "malloc"));
    const long before = qor::test::AllocationCount();
    void *p = dynamic_malloc(16);
    const long counted = qor::test::AllocationCount() - before;
    free(p);
    return counted == 1;
}

}  // namespace

extern "C" {

int QOR_WriteByte(int, int) {
    ++g_characters_written;
    return 1;
}

int QOR_ReadByte(int) {
    if (g_replies[g_reply_at] == '\0') {
        return -1;
    }
    return static_cast<unsigned char>(g_replies[g_reply_at++]);
}
}

int main() {
    if (!CountWorks()) {
        std::fprintf(stderr, "allocations are not counted\n");
        return 1;
    }
    int failed = 0;
    for (int checksum = 0; checksum <= 1; ++checksum) {
        QOR_EnableCmdChecksum(static_cast<unsigned char>(checksum));
        for (const Case &c : kCases) {
            g_replies = c.link;
            g_reply_at = 0;
            const long before = qor::test::AllocationCount();
            c.call();
            const long allocations = qor::test::AllocationCount() - before;
            if (allocations != 0) {
                std::fprintf(stderr, "%s allocated %ld times\n", c.name, allocations);
                ++failed;
            }
        }
    }
    if (g_characters_written == 0) {
        std::fprintf(stderr, "the library did not use this program's byte link\n");
        return 1;
    }
    const int total = 2 * static_cast<int>(sizeof kCases / sizeof kCases[0]);
    std::printf("%d passed, %d failed\n", total - failed, failed);
    return failed == 0 ? 0 : 1;
}
