// The holder of a UUCP lock file (minicom, cu, ser2net write them): a live
// process is a holder, a dead one's file is stale, and this process's own
// file names nobody else.
#include "comm/port_holder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

using qor::comm::UucpHolder;

struct LockFileCase {
    const char *what;
    std::string content;  // none: no lock file
    bool names_holder;
};

pid_t DeadPid() {
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}

TEST(PortHolder, AUucpLockFileNamesItsLiveProcessOnly) {
    char folder[] = "/tmp/qor-uucp-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string lock = std::string(folder) + "/LCK..ttyQOR0";
    char padded[16];
    std::snprintf(padded, sizeof padded, "%10d\n", static_cast<int>(getppid()));
    const LockFileCase cases[] = {
        {"a live process, in ten characters", padded, true},
        {"a live process, plain", std::to_string(getppid()), true},
        {"a process that is gone", std::to_string(DeadPid()) + "\n", false},
        {"this process", std::to_string(getpid()) + "\n", false},
        {"no number", "garbage\n", false},
        {"no file", "", false},
    };
    for (const LockFileCase &c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.content.empty()) {
            std::ofstream(lock) << c.content;
        }
        EXPECT_EQ(c.names_holder ? getppid() : 0, UucpHolder(folder, "/dev/ttyQOR0"));
        std::remove(lock.c_str());
    }
    rmdir(folder);
}

}  // namespace
