#include "gateway/core/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "common/iso_time.h"
#include "common/message_text.h"

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

// One kind of repeated event in its current period.
struct Repeats {
    Level level = Level::kWarning;
    std::chrono::steady_clock::time_point period_end;
    int logged = 0;
    long long unlogged = 0;
    std::string last_reason;
};

std::mutex g_repeat_mutex;
std::map<std::string, Repeats> g_repeats;

std::string Summary(const std::string &kind, const Repeats &r) {
    return std::to_string(r.unlogged) + " more " + kind + " in the last " +
           std::to_string(kRepeatPeriod.count()) + " s (the last: " + r.last_reason + ")";
}

}  // namespace

void Log(Level level, const std::string &message) {
    if (level == Level::kTrace && !Verbose()) {
        return;
    }
    std::string text = message;
    bool clean = true;
    for (char c : text) {
        clean = clean && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
    }
    if (!clean) {
        text = text::Escape(text);
    }
    if (text.size() > kMaxLogLine) {
        text.resize(kMaxLogLine);
        text += "... (cut)";
    }
    static const bool kStamped = !StderrIsJournal();
    std::string stamp =
        kStamped ? text::IsoUtc(std::chrono::system_clock::now()) + " " : std::string();
    std::string line = stamp + "qor-gateway: " + LevelName(level) + ": " + text + "\n";
    // One write per line, so that a line reaches the journal whole.
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// JOURNAL_STREAM is "DEVICE:INODE" of the stream journald gave the
// process; standard error is that stream only while its device and inode
// match, as sd_journal checks it: a child whose standard error was
// redirected inherits the variable all the same.
bool StderrIsJournal() {
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char rest = 0;
    struct stat info {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) == 2 &&
           fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

void SetVerbose(bool verbose) {
    g_verbose = verbose;
}

bool Verbose() {
    return g_verbose;
}

std::string Quoted(std::string_view text, std::size_t limit) {
    bool cut = text.size() > limit;
    return "\"" + text::Escape(text.substr(0, limit)) + (cut ? "...\"" : "\"");
}

void LogRepeated(Level level, const char *kind, const std::string &message,
                 const std::string &reason) {
    FlushRepeated();
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(g_repeat_mutex);
        Repeats &r = g_repeats[kind];
        if (r.logged == 0 && r.unlogged == 0) {
            r.period_end = now + kRepeatPeriod;
        }
        r.level = level;
        if (r.logged >= kRepeatsLogged) {
            ++r.unlogged;
            r.last_reason = reason;
            return;
        }
        ++r.logged;
    }
    Log(level, message);
}

void FlushRepeated() {
    auto now = std::chrono::steady_clock::now();
    std::vector<std::pair<Level, std::string>> lines;
    {
        std::lock_guard<std::mutex> lock(g_repeat_mutex);
        for (auto it = g_repeats.begin(); it != g_repeats.end();) {
            if (now < it->second.period_end) {
                ++it;
                continue;
            }
            if (it->second.unlogged > 0) {
                lines.emplace_back(it->second.level, Summary(it->first, it->second));
            }
            it = g_repeats.erase(it);
        }
    }
    for (const auto &[level, line] : lines) {
        Log(level, line);
    }
}

}  // namespace qor::gateway
