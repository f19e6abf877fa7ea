#include "bench/own_flags.h"

#include <cstdlib>
#include <cstring>

namespace qor::bench {

bool TakeOwnFlags(int *argc, char **argv, const std::vector<OwnFlag> &flags) {
    int kept = 1;
    bool ok = true;
    for (int i = 1; i < *argc; ++i) {
        const OwnFlag *matched = nullptr;
        for (const OwnFlag &flag : flags) {
            if (std::strncmp(argv[i], flag.name, std::strlen(flag.name)) == 0) {
                matched = &flag;
                break;
            }
        }
        if (matched == nullptr) {
            argv[kept++] = argv[i];
        } else {
            ok = matched->take(argv[i] + std::strlen(matched->name)) && ok;
        }
    }
    *argc = kept;
    return ok;
}

bool ParsePositiveList(const char *text, std::vector<int> *list) {
    list->clear();
    for (char *end = nullptr;; text = end + 1) {
        long number = std::strtol(text, &end, 10);
        if (end == text || number <= 0) {
            return false;
        }
        list->push_back(static_cast<int>(number));
        if (*end != ',') {
            return *end == '\0';
        }
    }
}

}  // namespace qor::bench
