// A benchmark program's own flags ("--name=value"), taken out of argv before
// Google Benchmark reads the rest.
#ifndef QOR_BENCH_OWN_FLAGS_H
#define QOR_BENCH_OWN_FLAGS_H

#include <functional>
#include <vector>

namespace qor::bench {

struct OwnFlag {
    const char *name;                             // "--bauds=", with its "="
    std::function<bool(const char *value)> take;  // false: the value is refused
};

// Takes every argument that one of `flags` names out of argv, leaving the
// others in order; false when a flag's value is refused.
bool TakeOwnFlags(int *argc, char **argv, const std::vector<OwnFlag> &flags);

// "9600,115200": positive whole numbers separated by commas.
bool ParsePositiveList(const char *text, std::vector<int> *list);

}  // namespace qor::bench

#endif  // QOR_BENCH_OWN_FLAGS_H
