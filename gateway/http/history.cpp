#include "gateway/http/history.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "gateway/core/log.h"

namespace qor::gateway {

namespace {

constexpr std::int64_t kMinuteMs = 60000;
// The writer closes finished minutes this often, and trims the file's
// oldest ones every ten minutes.
constexpr std::chrono::seconds kWriteEvery{5};
constexpr std::int64_t kTrimEveryMinutes = 10;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS polls(id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS minutes(poll INTEGER NOT NULL, minute INTEGER NOT NULL, "
    "min REAL NOT NULL, max REAL NOT NULL, mean REAL NOT NULL, count INTEGER NOT NULL, "
    "PRIMARY KEY(poll, minute)) WITHOUT ROWID;";
// A minute written before a restart and again after it is one minute.
const char kInsert[] =
    "INSERT INTO minutes(poll, minute, min, max, mean, count) VALUES(?, ?, ?, ?, ?, ?) "
    "ON CONFLICT(poll, minute) DO UPDATE SET min = MIN(min, excluded.min), "
    "max = MAX(max, excluded.max), "
    "mean = (mean * count + excluded.mean * excluded.count) / (count + excluded.count), "
    "count = count + excluded.count";

std::int64_t UnixMs(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// A fixed ring, oldest first.
template <typename T>
class Ring {
  public:
    explicit Ring(std::size_t capacity) : capacity_(capacity) {}
    void Push(const T &item) {
        if (items_.size() < capacity_) {
            items_.push_back(item);
        } else {
            items_[next_] = item;
        }
        next_ = (next_ + 1) % capacity_;
    }
    template <typename F>
    void ForEach(F f) const {
        std::size_t first = items_.size() < capacity_ ? 0 : next_;
        for (std::size_t i = 0; i < items_.size(); ++i) {
            f(items_[(first + i) % items_.size()]);
        }
    }
    std::size_t Bytes() const { return items_.capacity() * sizeof(T); }

  private:
    std::size_t capacity_;
    std::vector<T> items_;
    std::size_t next_ = 0;
};

// A closed minute in RAM: floats, as the chart draws them.
struct Minute {
    std::int32_t minute = 0;
    float min = 0;
    float max = 0;
    float mean = 0;
    std::uint32_t count = 0;
};

MinuteStats StatsOf(const Minute &m) {
    return {m.minute, m.min, m.max, m.mean, m.count};
}

class Statement {
  public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    sqlite3_stmt *Get() const { return stmt_; }

  private:
    sqlite3_stmt *stmt_ = nullptr;
};

}  // namespace

MinuteStats Combine(const MinuteStats &a, const MinuteStats &b) {
    MinuteStats c = a;
    c.min = std::min(a.min, b.min);
    c.max = std::max(a.max, b.max);
    c.count = a.count + b.count;
    c.mean = c.count == 0 ? 0 : (a.mean * a.count + b.mean * b.count) / c.count;
    return c;
}

struct HistoryStore::Series {
    explicit Series(std::size_t minutes) : minutes(static_cast<std::size_t>(minutes)) {}
    std::string key;
    Ring<RawPoint> raw{kRawKept};
    Ring<Minute> minutes;
    MinuteStats open;                   // the minute now filling; count 0: none
    std::int64_t written_through = -1;  // the minutes up to this one are in the file
};

HistoryStore::HistoryStore() = default;

HistoryStore::~HistoryStore() {
    Stop();
}

bool HistoryStore::Open(const std::string &path, std::string *why) {
    if (!path.empty()) {
        int rc = sqlite3_open_v2(path.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_busy_timeout(db_, 2000);
            rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr,
                              nullptr, nullptr);
        }
        if (rc == SQLITE_OK) {
            rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
        }
        if (rc != SQLITE_OK) {
            *why = "history file \"" + path + "\": " + sqlite3_errmsg(db_);
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }
    disk_ = db_ != nullptr;
    ram_minutes_ = disk_ ? kRamMinutes : kMinutesKept;
    writer_ = std::thread([this] { Run(); });
    return path.empty() || db_ != nullptr;
}

void HistoryStore::Layout(const Config &config) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, std::unique_ptr<Series>> kept;
    places_.clear();
    for (const LinkSpec &l : config.links) {
        places_.emplace_back();
        for (const ModuleSpec &m : l.modules) {
            places_.back().emplace_back();
            for (const PollSpec &p : m.polls) {
                std::string key = l.name + "/" + m.name + "/" + p.name;
                auto it = series_.find(key);
                std::unique_ptr<Series> s = it != series_.end()
                                                ? std::move(it->second)
                                                : std::make_unique<Series>(ram_minutes_);
                s->key = key;
                places_.back().back().push_back(s.get());
                kept[key] = std::move(s);
            }
        }
    }
    // A poll gone from the configuration keeps what the file has of it.
    for (auto &[key, s] : series_) {
        if (s && s->open.count > 0) {
            CloseLocked(*s);
        }
    }
    series_ = std::move(kept);
}

void HistoryStore::Add(const PollRef &poll, const Reading &reading) {
    if (reading.status != 0 || !std::isfinite(reading.value)) {
        return;
    }
    std::int64_t ms = UnixMs(reading.when);
    std::lock_guard<std::mutex> lock(mutex_);
    if (poll.link >= places_.size() || poll.module >= places_[poll.link].size() ||
        poll.poll >= places_[poll.link][poll.module].size()) {
        return;
    }
    Series &s = *places_[poll.link][poll.module][poll.poll];
    s.raw.Push({ms, reading.value});
    std::int64_t minute = ms / kMinuteMs;
    if (s.open.count > 0 && s.open.minute != minute) {
        CloseLocked(s);
    }
    if (s.open.count == 0) {
        s.open = {minute, reading.value, reading.value, reading.value, 1};
        return;
    }
    s.open = Combine(s.open, {minute, reading.value, reading.value, reading.value, 1});
}

void HistoryStore::CloseLocked(Series &s) {
    const MinuteStats &o = s.open;
    s.minutes.Push({static_cast<std::int32_t>(o.minute), static_cast<float>(o.min),
                    static_cast<float>(o.max), static_cast<float>(o.mean), o.count});
    if (disk_) {
        pending_.push_back({s.key, o});
    }
    s.open = MinuteStats{};
}

void HistoryStore::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, kWriteEvery);
        if (stopping_) {
            break;
        }
        lock.unlock();
        Flush(UnixMs(std::chrono::system_clock::now()));
        lock.lock();
    }
}

void HistoryStore::Flush(std::int64_t now_ms) {
    std::vector<Pending> pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &[key, s] : series_) {
            if (s->open.count > 0 && s->open.minute < now_ms / kMinuteMs) {
                CloseLocked(*s);
            }
        }
        pending.swap(pending_);
    }
    if (!pending.empty() && Write(pending)) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Pending &p : pending) {
            auto it = series_.find(p.key);
            if (it != series_.end()) {
                it->second->written_through = std::max(it->second->written_through, p.stats.minute);
            }
        }
        written_ += pending.size();
    }
    Trim(now_ms / kMinuteMs);
}

// One transaction for the batch. A batch that cannot be written is logged
// and dropped: RAM keeps the last hour for the page either way.
bool HistoryStore::Write(const std::vector<Pending> &pending) {
    std::lock_guard<std::mutex> lock(db_mutex_);
    if (db_ == nullptr) {
        return false;
    }
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    Statement insert(db_, kInsert);
    Statement poll(db_,
                   "INSERT INTO polls(key) VALUES(?) ON CONFLICT(key) DO UPDATE SET key = key "
                   "RETURNING id");
    bool ok = insert.Get() != nullptr && poll.Get() != nullptr;
    for (const Pending &p : pending) {
        auto id = ids_.find(p.key);
        if (ok && id == ids_.end()) {
            sqlite3_bind_text(poll.Get(), 1, p.key.c_str(), -1, SQLITE_TRANSIENT);
            ok = sqlite3_step(poll.Get()) == SQLITE_ROW;
            id = ids_.emplace(p.key, sqlite3_column_int64(poll.Get(), 0)).first;
            ok = sqlite3_step(poll.Get()) == SQLITE_DONE && ok;
            sqlite3_reset(poll.Get());
        }
        if (!ok) {
            break;
        }
        sqlite3_stmt *s = insert.Get();
        sqlite3_bind_int64(s, 1, id->second);
        sqlite3_bind_int64(s, 2, p.stats.minute);
        sqlite3_bind_double(s, 3, p.stats.min);
        sqlite3_bind_double(s, 4, p.stats.max);
        sqlite3_bind_double(s, 5, p.stats.mean);
        sqlite3_bind_int64(s, 6, p.stats.count);
        ok = sqlite3_step(s) == SQLITE_DONE;
        sqlite3_reset(s);
    }
    ok =
        sqlite3_exec(db_, ok ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    if (!ok) {
        ids_.clear();  // a rolled back poll row may have taken an id
        LogRepeated(Level::kWarning, "history writes",
                    "http: cannot write the history: " + std::string(sqlite3_errmsg(db_)),
                    sqlite3_errmsg(db_));
    }
    return ok;
}

// Minutes older than a day leave the file, poll by poll along its key.
void HistoryStore::Trim(std::int64_t now_minute) {
    std::lock_guard<std::mutex> lock(db_mutex_);
    if (db_ == nullptr || now_minute - trimmed_at_ < kTrimEveryMinutes) {
        return;
    }
    trimmed_at_ = now_minute;
    Statement polls(db_, "SELECT id FROM polls");
    Statement trim(db_, "DELETE FROM minutes WHERE poll = ? AND minute < ?");
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    while (polls.Get() != nullptr && trim.Get() != nullptr &&
           sqlite3_step(polls.Get()) == SQLITE_ROW) {
        sqlite3_bind_int64(trim.Get(), 1, sqlite3_column_int64(polls.Get(), 0));
        sqlite3_bind_int64(trim.Get(), 2, now_minute - kMinutesKept);
        sqlite3_step(trim.Get());
        sqlite3_reset(trim.Get());
    }
    sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
}

void HistoryStore::ReadDisk(const std::string &key, std::int64_t from_minute,
                            std::map<std::int64_t, MinuteStats> *out) const {
    std::lock_guard<std::mutex> lock(db_mutex_);
    if (db_ == nullptr) {
        return;
    }
    Statement read(db_,
                   "SELECT minute, min, max, mean, count FROM minutes WHERE poll = "
                   "(SELECT id FROM polls WHERE key = ?) AND minute >= ? ORDER BY minute");
    if (read.Get() == nullptr) {
        return;
    }
    sqlite3_bind_text(read.Get(), 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(read.Get(), 2, from_minute);
    while (sqlite3_step(read.Get()) == SQLITE_ROW) {
        sqlite3_stmt *s = read.Get();
        (*out)[sqlite3_column_int64(s, 0)] = {
            sqlite3_column_int64(s, 0), sqlite3_column_double(s, 1), sqlite3_column_double(s, 2),
            sqlite3_column_double(s, 3), static_cast<std::uint32_t>(sqlite3_column_int64(s, 4))};
    }
}

// The file's minutes, then RAM's: a minute RAM holds that is not yet in
// the file is added to the file's record of it (a minute a restart cut in
// two); one already written is the file's.
std::optional<PollHistory> HistoryStore::Read(const std::string &key, std::int64_t from_ms) const {
    PollHistory h;
    std::vector<MinuteStats> ram;
    std::int64_t written = -1;
    std::int64_t from_minute = from_ms / kMinuteMs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = series_.find(key);
        if (it == series_.end()) {
            return std::nullopt;
        }
        const Series &s = *it->second;
        s.raw.ForEach([&](const RawPoint &p) {
            if (p.ms >= from_ms) {
                h.raw.push_back(p);
            }
        });
        s.minutes.ForEach([&](const Minute &m) {
            if (m.minute >= from_minute) {
                ram.push_back(StatsOf(m));
            }
        });
        if (s.open.count > 0) {
            ram.push_back(s.open);
        }
        written = s.written_through;
    }
    std::map<std::int64_t, MinuteStats> all;
    ReadDisk(key, from_minute, &all);
    for (const MinuteStats &m : ram) {
        auto found = all.find(m.minute);
        if (found == all.end()) {
            all[m.minute] = m;
        } else if (m.minute > written) {
            found->second = Combine(found->second, m);
        }
    }
    for (const auto &[minute, stats] : all) {
        h.minutes.push_back(stats);
    }
    return h;
}

std::vector<std::vector<double>> HistoryStore::Means(std::size_t link, std::int64_t minutes,
                                                     std::int64_t now_ms,
                                                     std::int64_t *first) const {
    std::int64_t now = now_ms / kMinuteMs;
    *first = now - minutes + 1;
    std::vector<std::vector<double>> means;
    std::lock_guard<std::mutex> lock(mutex_);
    if (link >= places_.size()) {
        return means;
    }
    for (const auto &module : places_[link]) {
        for (const Series *s : module) {
            std::vector<double> row(static_cast<std::size_t>(minutes),
                                    std::numeric_limits<double>::quiet_NaN());
            auto put = [&](std::int64_t minute, double mean) {
                if (minute >= *first && minute <= now) {
                    row[static_cast<std::size_t>(minute - *first)] = mean;
                }
            };
            s->minutes.ForEach([&](const Minute &m) { put(m.minute, m.mean); });
            if (s->open.count > 0) {
                put(s->open.minute, s->open.mean);
            }
            means.push_back(std::move(row));
        }
    }
    return means;
}

void HistoryStore::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!writer_.joinable()) {
            return;
        }
        stopping_ = true;
        for (auto &[key, s] : series_) {
            if (s->open.count > 0) {
                CloseLocked(*s);
            }
        }
    }
    wake_.notify_all();
    writer_.join();
    Flush(UnixMs(std::chrono::system_clock::now()));
    std::lock_guard<std::mutex> lock(db_mutex_);
    sqlite3_close(db_);
    db_ = nullptr;
}

HistoryStore::Usage HistoryStore::Use() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Usage u;
    u.polls = series_.size();
    for (const auto &[key, s] : series_) {
        std::size_t fixed = sizeof(Series) + key.capacity();
        u.bytes += fixed + s->raw.Bytes() + s->minutes.Bytes();
        u.bound_bytes += fixed + kRawKept * sizeof(RawPoint) +
                         static_cast<std::size_t>(ram_minutes_) * sizeof(Minute);
    }
    u.disk = disk_;
    u.rows_written = written_;
    return u;
}

}  // namespace qor::gateway
