#include "log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace qor::gateway {

namespace {

std::atomic<bool> g_verbose{false};
std::mutex g_log_mutex;

const char *LevelName(Level level) {
    switch (level) {
        case Level::kError:
            return "error";
        case Level::kWarning:
            return "warning";
        case Level::kInfo:
            return "info";
        case Level::kTrace:
            return "trace";
    }
    return "info";
}

}  // namespace

void Log(Level level, const std::string &message) {
    if (level == Level::kTrace && !Verbose()) {
        return;
    }
    std::string line = std::string("qor-gateway: ") + LevelName(level) + ": " + message + "\n";
    // One write per line, so that a line reaches the journal whole.
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void SetVerbose(bool verbose) {
    g_verbose = verbose;
}

bool Verbose() {
    return g_verbose;
}

}  // namespace qor::gateway
