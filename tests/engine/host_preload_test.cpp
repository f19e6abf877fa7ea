// An ordinary host linked against libqor_dll, run with the recording byte
// link in LD_PRELOAD: the preloaded link must be the one the library calls.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "qor_dll.h"

int main() {
    auto deliver =
        reinterpret_cast<void (*)(const char *)>(dlsym(RTLD_DEFAULT, "RecordingLinkDeliver"));
    auto written = reinterpret_cast<const char *(*)()>(dlsym(RTLD_DEFAULT, "RecordingLinkWritten"));
    if (deliver == nullptr || written == nullptr) {
        std::fprintf(stderr, "the recording link is not preloaded\n");
        return 1;
    }
    deliver("*0F5A\r");
    int status = -1;
    int error = -1;
    int bit = QOR_DI(2, '1', 2, 1, 1, &status, &error);
    if (bit != 1 || status != 0 || error != 0 || std::strcmp(written(), "$1DI\r") != 0) {
        std::fprintf(stderr, "bit %d status %d error %d frame \"%s\"\n", bit, status, error,
                     written());
        return 1;
    }
    std::printf("1 passed, 0 failed\n");
    return 0;
}
