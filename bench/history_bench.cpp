// What the status page's history costs at a plant's size: a day of minutes
// for every poll written into its SQLite file one minute at a time, as the
// gateway writes them, then the file's size, the RAM the store holds, the
// time a minute's write takes and the time a poll's day takes to read.
//   qor_bench_history [--polls N] [--minutes M] [--file PATH] [--out FILE]
// The minutes lie in the day before now; one reading a poll a minute is
// enough for the file, which keeps one row per poll and minute whatever the
// readings' rate (the RAM's raw ring is filled too).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gateway/http/history.h"

namespace {

using namespace qor::gateway;
using Clock = std::chrono::steady_clock;

struct Options {
    int polls = 1024;
    int minutes = 1440;
    std::string file = "/tmp/qor-history-bench.db";
    std::string out;
};

Options Parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key == "--polls") {
            o.polls = std::atoi(argv[i + 1]);
        } else if (key == "--minutes") {
            o.minutes = std::atoi(argv[i + 1]);
        } else if (key == "--file") {
            o.file = argv[i + 1];
        } else if (key == "--out") {
            o.out = argv[i + 1];
        }
    }
    return o;
}

// 16 links of 64 modules, one poll each, as the page's tests have them.
Config Plant(int polls) {
    Config c;
    for (int p = 0; p < polls; ++p) {
        if (p % 64 == 0) {
            c.links.emplace_back();
            c.links.back().name = "hall-" + std::to_string(p / 64 + 1);
        }
        ModuleSpec m;
        m.name = "m" + std::to_string(p % 64);
        PollSpec poll;
        poll.name = "temp";
        m.polls.push_back(poll);
        c.links.back().modules.push_back(m);
    }
    return c;
}

long long FileBytes(const std::string &path) {
    long long total = 0;
    for (const char *suffix : {"", "-wal"}) {
        struct stat info {};
        if (stat((path + suffix).c_str(), &info) == 0) {
            total += info.st_size;
        }
    }
    return total;
}

void Remove(const std::string &path) {
    for (const char *suffix : {"", "-wal", "-shm"}) {
        std::remove((path + suffix).c_str());
    }
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

// A day of minutes, written as the gateway writes them; the write times.
std::vector<double> WriteDay(HistoryStore &store, const Options &o, std::int64_t first) {
    std::vector<double> writes;
    for (int minute = 0; minute < o.minutes; ++minute) {
        std::int64_t at = first + minute * 60000LL;
        for (int p = 0; p < o.polls; ++p) {
            Reading r;
            r.value = 72.1 + (minute % 60) * 0.01 + p * 0.001;
            r.when = std::chrono::system_clock::time_point(std::chrono::milliseconds(at + 1000));
            store.Add({static_cast<std::size_t>(p / 64), static_cast<std::size_t>(p % 64), 0}, r);
        }
        Clock::time_point t0 = Clock::now();
        store.Flush(at + 60000 + 1000);
        writes.push_back(Ms(Clock::now() - t0));
    }
    std::sort(writes.begin(), writes.end());
    return writes;
}

int main(int argc, char **argv) {
    Options o = Parse(argc, argv);
    Remove(o.file);
    HistoryStore store;
    std::string why;
    if (!store.Open(o.file, &why)) {
        std::fprintf(stderr, "qor_bench_history: %s\n", why.c_str());
        return 1;
    }
    store.Layout(Plant(o.polls));
    std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    std::int64_t first = (now / 60000 - o.minutes) * 60000;
    std::vector<double> writes = WriteDay(store, o, first);
    Clock::time_point t0 = Clock::now();
    std::optional<PollHistory> day = store.Read("hall-8/m31/temp", first);
    double read_ms = Ms(Clock::now() - t0);
    HistoryStore::Usage use = store.Use();
    store.Stop();
    char json[512];
    std::snprintf(json, sizeof json,
                  "{\"polls\": %d, \"minutes\": %d, \"rows\": %zu, \"file_bytes\": %lld, "
                  "\"ram_bytes\": %zu, \"ram_bound_bytes\": %zu, \"write_minute_ms_median\": "
                  "%.3f, \"write_minute_ms_max\": %.3f, \"read_day_ms\": %.3f}\n",
                  o.polls, o.minutes, day ? day->minutes.size() : 0, FileBytes(o.file), use.bytes,
                  use.bound_bytes, writes[writes.size() / 2], writes.back(), read_ms);
    Remove(o.file);
    FILE *out = o.out.empty() ? stdout : std::fopen(o.out.c_str(), "w");
    if (out == nullptr || std::fputs(json, out) < 0) {
        return 1;
    }
    return out == stdout || std::fclose(out) == 0 ? 0 : 1;
}
