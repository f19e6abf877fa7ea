// Every poll's good readings over the last day, bounded, for the page's
// trends and /api/history: the raw readings of the last minutes, and a
// minimum, maximum and mean per minute for 24 hours.
//
// RAM holds the last raw readings and the last hour of minutes. With a file the
// minutes go into SQLite as each one closes (and the open ones at a stop),
// so that a restart keeps them; without one (no spool) RAM holds the whole
// day. The pollers add readings under one short lock; a writer thread of
// the store's own does the disk, so that no poll waits for a disk.
#ifndef QOR_GATEWAY_HTTP_HISTORY_H
#define QOR_GATEWAY_HTTP_HISTORY_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/core/config.h"
#include "gateway/core/plant.h"
#include "gateway/core/queries.h"

struct sqlite3;

namespace qor::gateway {

constexpr std::size_t kRawKept = 150;        // a poll's last raw readings
constexpr std::int64_t kMinutesKept = 1440;  // 24 h
constexpr std::int64_t kRamMinutes = 60;     // in RAM beside a file

struct RawPoint {
    std::int64_t ms = 0;  // Unix time
    double value = 0;
};

struct MinuteStats {
    std::int64_t minute = 0;  // Unix time in minutes
    double min = 0;
    double max = 0;
    double mean = 0;
    std::uint32_t count = 0;
};

struct PollHistory {
    std::vector<RawPoint> raw;
    std::vector<MinuteStats> minutes;  // oldest first; the open minute last
};

// The minutes of two records of one minute, as one.
MinuteStats Combine(const MinuteStats &a, const MinuteStats &b);

class HistoryStore {
  public:
    HistoryStore();
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Keeps the minutes in the SQLite file at path (created when missing),
    // or in RAM alone when path is empty; false, with the reason, when the
    // file cannot serve (the store then keeps to RAM). Once, before any
    // reading.
    bool Open(const std::string &path, std::string *why);
    // The polls by their places in a (new) configuration, named
    // "link/module/poll": a poll that keeps its name keeps its history.
    void Layout(const Config &config);
    // A reading; only good ones are kept.
    void Add(const PollRef &poll, const Reading &reading);
    // The poll's history from from_ms on (Unix time); nothing for a poll the
    // layout does not have.
    std::optional<PollHistory> Read(const std::string &key, std::int64_t from_ms) const;
    // The mean of each of the `minutes` minutes up to now_ms of each poll
    // of a link, in its modules' and polls' order, a NaN where none was
    // read; first: the first of those minutes.
    std::vector<std::vector<double>> Means(std::size_t link, std::int64_t minutes,
                                           std::int64_t now_ms, std::int64_t *first) const;
    // Writes the open minutes and closes the file.
    void Stop();
    // Writes the minutes that have closed by now_ms; the writer thread's
    // work, which tests call directly.
    void Flush(std::int64_t now_ms);

    struct Usage {
        std::size_t polls = 0;
        std::size_t bytes = 0;        // the RAM the series take
        std::size_t bound_bytes = 0;  // and will take once every ring is full
        bool disk = false;
        std::uint64_t rows_written = 0;
    };
    Usage Use() const;

  private:
    struct Series;
    struct Pending {
        std::string key;
        MinuteStats stats;
    };
    void Run();
    void CloseLocked(Series &series);
    bool Write(const std::vector<Pending> &pending);
    void Trim(std::int64_t now_minute);
    void ReadDisk(const std::string &key, std::int64_t from_minute,
                  std::map<std::int64_t, MinuteStats> *out) const;

    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<Series>> series_;
    std::vector<std::vector<std::vector<Series *>>> places_;  // link, module, poll
    std::vector<Pending> pending_;
    std::int64_t ram_minutes_ = kMinutesKept;
    bool disk_ = false;  // set once, by Open
    std::uint64_t written_ = 0;

    mutable std::mutex db_mutex_;  // the connection, between the writer and readers
    sqlite3 *db_ = nullptr;
    std::map<std::string, std::int64_t> ids_;  // poll keys in the file
    std::int64_t trimmed_at_ = 0;

    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread writer_;
};

}  // namespace qor::gateway

#endif
