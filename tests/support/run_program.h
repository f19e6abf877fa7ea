// Runs a program to its end, as a user would from a shell, and collects
// what it printed and how it ended.
#ifndef QOR_TESTS_SUPPORT_RUN_PROGRAM_H
#define QOR_TESTS_SUPPORT_RUN_PROGRAM_H

#include <string>
#include <vector>

namespace qor::test {

struct Finished {
    int exit_code = -1;  // -1: killed at the deadline, or ended by a signal
    std::string out;
    std::string err;
    double seconds = 0;
};

struct RunLimits {
    int deadline_ms = 10000;  // then SIGKILL
    // With a count above 0, SIGINT goes to the program once that many lines
    // have appeared on its standard output.
    int interrupt_after_lines = 0;
    // "NAME=value" entries put before, and so overriding, the inherited
    // environment.
    std::vector<std::string> extra_env;
};

// words[0] is the program's path. Standard input is /dev/null.
Finished RunProgram(const std::vector<std::string> &words, const RunLimits &limits = {});

}  // namespace qor::test

#endif
