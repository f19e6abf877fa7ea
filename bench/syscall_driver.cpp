// A small host for counting system calls: opens the given pty, runs one
// QOR_RD to settle, then COUNT more, and exits. Run under strace twice with
// different counts, the difference divided by the difference in counts is
// what one transaction costs, with start-up and opening taken out.
//   qor_bench_syscalls PTY-PATH COUNT [BAUD]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qor_comm.h"
#include "qor_dll.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: qor_bench_syscalls PTY-PATH COUNT [BAUD]\n");
        return 2;
    }
    long count = std::atol(argv[2]);
    std::string target =
        std::string(argv[1]) + "?baud=" + (argc > 3 ? argv[3] : "115200") + "&timeout_ms=1000";
    if (count < 0 || QOR_OpenPort(1, target.c_str()) != 1) {
        std::fprintf(stderr, "qor_bench_syscalls: cannot open %s\n", target.c_str());
        return 1;
    }
    long failures = 0;
    for (long i = 0; i <= count; ++i) {
        int status = -1;
        int error = -1;
        float value = QOR_RD(1, '1', &status, &error);
        failures += status != 0 || std::fabs(value - 72.1f) > 1e-3f;
    }
    QOR_ClosePort(1);
    if (failures != 0) {
        std::fprintf(stderr, "qor_bench_syscalls: %ld of %ld transactions failed\n", failures,
                     count + 1);
        return 1;
    }
    return 0;
}
