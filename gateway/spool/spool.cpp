#include "gateway/spool/spool.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace qor::gateway {

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY, topic TEXT NOT NULL, "
    "payload BLOB NOT NULL, correlation BLOB NOT NULL, at_ms INTEGER NOT NULL, "
    "size INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS streams(topic TEXT PRIMARY KEY, seq INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);";

// "qorS" in a spool's header (PRAGMA application_id), as file(1) reads it.
constexpr std::int64_t kApplicationId = 0x716F7253;
const char kMarkAsSpool[] = "PRAGMA application_id = 1903129171;";
const char kSpoolTables[] = "messages, meta, streams";  // as IsOurs lists them
static_assert(kApplicationId == 1903129171);

// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    sqlite3_stmt *Get() const { return stmt_; }
    bool Ok() const { return stmt_ != nullptr; }

  private:
    sqlite3_stmt *stmt_ = nullptr;
};

bool IsCorrupt(int code) {
    code &= 0xff;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

std::string Blob(sqlite3_stmt *stmt, int column) {
    const void *data = sqlite3_column_blob(stmt, column);
    int size = sqlite3_column_bytes(stmt, column);
    return data == nullptr ? std::string() : std::string(static_cast<const char *>(data), size);
}

std::int64_t Column(sqlite3 *db, const char *sql) {
    Statement s(db, sql);
    if (!s.Ok() || sqlite3_step(s.Get()) != SQLITE_ROW) {
        return 0;
    }
    return sqlite3_column_int64(s.Get(), 0);
}

}  // namespace

bool SpoolSettings::operator==(const SpoolSettings &o) const {
    return enabled == o.enabled && path == o.path && commit_interval == o.commit_interval &&
           commit_messages == o.commit_messages && max_bytes == o.max_bytes && max_age == o.max_age;
}

std::string MoveAside(const std::string &path) {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    std::string aside = path + ".corrupt-" + stamp;
    if (std::rename(path.c_str(), aside.c_str()) != 0) {
        return "";
    }
    for (const char *suffix : {"-wal", "-shm"}) {
        std::rename((path + suffix).c_str(), (aside + suffix).c_str());
    }
    return aside;
}

Spool::~Spool() {
    sqlite3_close(db_);
    if (lock_fd_ >= 0) {
        close(lock_fd_);
    }
}

std::unique_ptr<Spool> Spool::Open(const std::string &path, std::string *why,
                                   std::string *moved_aside, bool *refused) {
    bool taken = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::unique_ptr<Spool> spool(new Spool(path));
        if (!spool->Lock(why, &taken)) {
            break;
        }
        int rc = sqlite3_open_v2(path.c_str(), &spool->db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc == SQLITE_OK && spool->Prepare(why, &taken)) {
            return spool;
        }
        if (rc != SQLITE_OK) {
            *why = sqlite3_errstr(rc);
        }
        int code = spool->db_ != nullptr ? sqlite3_extended_errcode(spool->db_) : rc;
        bool corrupt = IsCorrupt(code) || why->rfind("integrity", 0) == 0;
        spool.reset();
        if (taken || !corrupt || attempt > 0) {
            break;
        }
        *moved_aside = MoveAside(path);
        if (moved_aside->empty()) {
            *why += "; and it cannot be moved aside";
            break;
        }
    }
    if (refused != nullptr) {
        *refused = taken;
    }
    return nullptr;
}

namespace {

// The process that holds the file, as it wrote itself into the spool; 0
// when it has not yet.
long long HolderPid(const std::string &path) {
    sqlite3 *db = nullptr;
    long long pid = 0;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 500);
        pid = Column(db, "SELECT value FROM meta WHERE key = 'pid'");
    }
    sqlite3_close(db);
    return pid;
}

}  // namespace

// An open file description lock on the file's first byte, which SQLite
// never locks (its own locks lie at 1 GiB): a second gateway on the same
// file, under whatever name, is refused. A classic POSIX lock would not
// do: SQLite closes descriptors of the file now and then, and a close
// releases every such lock the process holds on it; a lock of the open
// file description lasts until its own descriptor closes, after SQLite's.
bool Spool::Lock(std::string *why, bool *refused) {
    lock_fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ < 0) {
        *why = std::strerror(errno);
        return false;
    }
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    if (fcntl(lock_fd_, F_OFD_SETLK, &lock) == 0) {
        return true;
    }
    int error = errno;
    *why = std::strerror(error);
    if (error == EAGAIN || error == EACCES) {
        long long pid = HolderPid(path_);
        *why = "in use by another process" +
               (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
               "; each gateway needs a spool of its own";
        *refused = true;
    }
    return false;
}

bool Spool::Exec(const char *sql, std::string *why) {
    char *error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) == SQLITE_OK) {
        return true;
    }
    *why = error != nullptr ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    return false;
}

// What sets a spool apart from another program's database: its
// application id, or (a spool made before the id was set) exactly its
// tables. An empty database becomes a spool, unless another program has
// marked it as its own.
bool Spool::IsOurs(std::string *why, bool *refused) {
    Statement tables(db_,
                     "SELECT name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name");
    if (!tables.Ok()) {
        *why = sqlite3_errmsg(db_);
        return false;
    }
    std::string names;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(tables.Get())) == SQLITE_ROW) {
        names += (names.empty() ? "" : ", ") + Blob(tables.Get(), 0);
    }
    if (rc != SQLITE_DONE) {
        *why = sqlite3_errmsg(db_);
        return false;
    }
    std::int64_t id = Column(db_, "PRAGMA application_id");
    if (id == kApplicationId || (id == 0 && (names.empty() || names == kSpoolTables))) {
        return true;
    }
    *why = "not a spool of qor-gateway (application id " + std::to_string(id) + ", " +
           (names.empty() ? "no tables" : "tables " + names) + "); left untouched";
    *refused = true;
    return false;
}

// WAL with full synchronisation: a commit that returned is on the disk, so
// a power cut loses only what waited for the next commit.
bool Spool::Prepare(std::string *why, bool *refused) {
    sqlite3_busy_timeout(db_, 2000);
    if (!IsOurs(why, refused) || !Exec(kMarkAsSpool, why) ||
        !Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", why) || !Exec(kSchema, why)) {
        return false;
    }
    Statement check(db_, "PRAGMA quick_check");
    if (!check.Ok() || sqlite3_step(check.Get()) != SQLITE_ROW) {
        *why = sqlite3_errmsg(db_);
        return false;
    }
    const unsigned char *verdict = sqlite3_column_text(check.Get(), 0);
    if (verdict == nullptr || std::string(reinterpret_cast<const char *>(verdict)) != "ok") {
        *why = "integrity check failed";
        return false;
    }
    // A fresh spool counts from the Unix time, so that the boot numbers of a
    // spool started afresh still follow those of the one moved aside.
    if (!Exec("INSERT INTO meta VALUES('boot', CAST(strftime('%s', 'now') AS INTEGER)) "
              "ON CONFLICT(key) DO UPDATE SET value = value + 1;",
              why)) {
        return false;
    }
    // Who holds it, for a second process to name (HolderPid).
    std::string holder = "INSERT INTO meta VALUES('pid', " + std::to_string(getpid()) +
                         ") ON CONFLICT(key) DO UPDATE SET value = excluded.value;";
    if (!Exec(holder.c_str(), why)) {
        return false;
    }
    boot_ = static_cast<std::uint64_t>(Column(db_, "SELECT value FROM meta WHERE key = 'boot'"));
    Statement streams(db_, "SELECT topic, seq FROM streams");
    while (streams.Ok() && sqlite3_step(streams.Get()) == SQLITE_ROW) {
        seqs_[Blob(streams.Get(), 0)] =
            static_cast<std::uint64_t>(sqlite3_column_int64(streams.Get(), 1));
    }
    last_id_ = static_cast<std::uint64_t>(Column(db_, "SELECT COALESCE(MAX(id), 0) FROM messages"));
    count_ = static_cast<std::uint64_t>(Column(db_, "SELECT COUNT(*) FROM messages"));
    bytes_ = static_cast<std::uint64_t>(Column(db_, "SELECT COALESCE(SUM(size), 0) FROM messages"));
    Refresh();
    return true;
}

void Spool::Refresh() {
    oldest_at_ms_ = Column(db_, "SELECT at_ms FROM messages ORDER BY id LIMIT 1");
}

std::uint64_t Spool::Size(const SpoolRow &row) {
    // The columns, and what SQLite adds to a row and its index entry.
    return row.topic.size() + row.payload.size() + row.correlation.size() + 24;
}

namespace {

bool InsertRows(sqlite3 *db, const std::vector<SpoolRow> &rows, std::uint64_t *bytes) {
    Statement insert(db, "INSERT INTO messages VALUES(?, ?, ?, ?, ?, ?)");
    for (const SpoolRow &r : rows) {
        sqlite3_stmt *s = insert.Get();
        if (s == nullptr) {
            return false;
        }
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(r.id));
        sqlite3_bind_text(s, 2, r.topic.data(), static_cast<int>(r.topic.size()), SQLITE_STATIC);
        sqlite3_bind_blob(s, 3, r.payload.data(), static_cast<int>(r.payload.size()),
                          SQLITE_STATIC);
        sqlite3_bind_blob(s, 4, r.correlation.data(), static_cast<int>(r.correlation.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(s, 5, r.at_ms);
        sqlite3_bind_int64(s, 6, static_cast<sqlite3_int64>(Spool::Size(r)));
        if (sqlite3_step(s) != SQLITE_DONE) {
            return false;
        }
        *bytes += Spool::Size(r);
    }
    return true;
}

// Ids that are gone already (trimmed meanwhile) remove nothing.
bool RemoveRows(sqlite3 *db, const std::vector<std::uint64_t> &ids, std::uint64_t *bytes,
                std::uint64_t *count) {
    Statement erase(db, "DELETE FROM messages WHERE id = ? RETURNING size");
    for (std::uint64_t id : ids) {
        sqlite3_stmt *s = erase.Get();
        if (s == nullptr) {
            return false;
        }
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(id));
        int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) {
            *bytes += static_cast<std::uint64_t>(sqlite3_column_int64(s, 0));
            ++*count;
            rc = sqlite3_step(s);
        }
        if (rc != SQLITE_DONE) {
            return false;
        }
    }
    return true;
}

bool StoreSeqs(sqlite3 *db, const std::map<std::string, std::uint64_t> &seqs) {
    Statement seq(db,
                  "INSERT INTO streams VALUES(?, ?) "
                  "ON CONFLICT(topic) DO UPDATE SET seq = excluded.seq");
    for (const auto &[topic, value] : seqs) {
        sqlite3_stmt *s = seq.Get();
        if (s == nullptr) {
            return false;
        }
        sqlite3_reset(s);
        sqlite3_bind_text(s, 1, topic.data(), static_cast<int>(topic.size()), SQLITE_STATIC);
        sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(value));
        if (sqlite3_step(s) != SQLITE_DONE) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool Spool::Write(const SpoolBatch &batch, std::string *why, bool *corrupt) {
    *corrupt = false;
    if (!Exec("BEGIN IMMEDIATE", why)) {
        *corrupt = IsCorrupt(sqlite3_extended_errcode(db_));
        return false;
    }
    std::uint64_t added = 0;
    std::uint64_t removed_bytes = 0;
    std::uint64_t removed = 0;
    bool ok = InsertRows(db_, batch.rows, &added) &&
              RemoveRows(db_, batch.removed, &removed_bytes, &removed) &&
              StoreSeqs(db_, batch.seqs);
    if (!ok) {
        *why = sqlite3_errmsg(db_);
    }
    std::string ignored;
    if (!ok || !Exec("COMMIT", why)) {
        *corrupt = IsCorrupt(sqlite3_extended_errcode(db_));
        Exec("ROLLBACK", &ignored);
        return false;
    }
    count_ += batch.rows.size();
    count_ -= removed;
    bytes_ += added;
    bytes_ -= removed_bytes;
    if (!batch.rows.empty()) {
        last_id_ = std::max(last_id_, batch.rows.back().id);
    }
    for (const auto &[topic, value] : batch.seqs) {
        seqs_[topic] = value;
    }
    Refresh();
    return true;
}

std::vector<SpoolRow> Spool::Read(std::uint64_t from, std::size_t limit) {
    std::vector<SpoolRow> rows;
    Statement s(db_,
                "SELECT id, topic, payload, correlation, at_ms FROM messages WHERE id >= ? "
                "ORDER BY id LIMIT ?");
    if (!s.Ok()) {
        return rows;
    }
    sqlite3_bind_int64(s.Get(), 1, static_cast<sqlite3_int64>(from));
    sqlite3_bind_int64(s.Get(), 2, static_cast<sqlite3_int64>(limit));
    while (sqlite3_step(s.Get()) == SQLITE_ROW) {
        SpoolRow row;
        row.id = static_cast<std::uint64_t>(sqlite3_column_int64(s.Get(), 0));
        row.topic = Blob(s.Get(), 1);
        row.payload = Blob(s.Get(), 2);
        row.correlation = Blob(s.Get(), 3);
        row.at_ms = sqlite3_column_int64(s.Get(), 4);
        rows.push_back(std::move(row));
    }
    return rows;
}

namespace {

// A trim under way: its bounds, what the spool holds meanwhile, what went.
struct TrimPass {
    std::uint64_t max_bytes = 0;
    std::int64_t too_old = 0;
    const std::set<std::uint64_t> *keep = nullptr;
    std::uint64_t bytes = 0;
    std::uint64_t count = 0;
    std::vector<std::uint64_t> dropped;
    std::size_t aged = 0;
};

// Drops from the next 256 rows after *after, oldest first, while the
// bounds want it; true when the rows after them may need it too.
bool TrimBatch(sqlite3 *db, TrimPass *t, std::uint64_t *after) {
    Statement oldest(db, "SELECT id, size, at_ms FROM messages WHERE id > ? ORDER BY id LIMIT 256");
    Statement erase(db, "DELETE FROM messages WHERE id = ?");
    sqlite3_bind_int64(oldest.Get(), 1, static_cast<sqlite3_int64>(*after));
    bool more = false;
    while (sqlite3_step(oldest.Get()) == SQLITE_ROW) {
        auto id = static_cast<std::uint64_t>(sqlite3_column_int64(oldest.Get(), 0));
        auto size = static_cast<std::uint64_t>(sqlite3_column_int64(oldest.Get(), 1));
        std::int64_t at = sqlite3_column_int64(oldest.Get(), 2);
        *after = id;
        if (!(t->bytes > t->max_bytes || at < t->too_old)) {
            return false;
        }
        more = true;
        if (t->keep->count(id) != 0) {
            continue;
        }
        sqlite3_reset(erase.Get());
        sqlite3_bind_int64(erase.Get(), 1, static_cast<sqlite3_int64>(id));
        if (sqlite3_step(erase.Get()) != SQLITE_DONE) {
            return false;
        }
        t->bytes -= size;
        --t->count;
        t->aged += at < t->too_old ? 1 : 0;
        t->dropped.push_back(id);
    }
    return more;
}

}  // namespace

std::vector<std::uint64_t> Spool::Trim(std::uint64_t max_bytes, std::chrono::seconds max_age,
                                       const std::set<std::uint64_t> &keep, std::int64_t now_ms,
                                       std::size_t *aged) {
    *aged = 0;
    TrimPass t;
    t.max_bytes = max_bytes;
    t.too_old = now_ms - static_cast<std::int64_t>(max_age.count()) * 1000;
    t.keep = &keep;
    std::string why;
    if (!(bytes_ > max_bytes || (count_ > 0 && oldest_at_ms_ < t.too_old)) ||
        !Exec("BEGIN IMMEDIATE", &why)) {
        return {};
    }
    t.bytes = bytes_;
    t.count = count_;
    std::uint64_t after = 0;
    while (TrimBatch(db_, &t, &after)) {
    }
    if (!Exec("COMMIT", &why)) {
        Exec("ROLLBACK", &why);
        return {};
    }
    bytes_ = t.bytes;
    count_ = t.count;
    Refresh();
    *aged = t.aged;
    return std::move(t.dropped);
}

bool Spool::Shift(std::int64_t step_ms, std::uint64_t from) {
    Statement shift(db_, "UPDATE messages SET at_ms = at_ms + ? WHERE id >= ?");
    if (!shift.Ok()) {
        return false;
    }
    sqlite3_bind_int64(shift.Get(), 1, step_ms);
    sqlite3_bind_int64(shift.Get(), 2, static_cast<sqlite3_int64>(from));
    if (sqlite3_step(shift.Get()) != SQLITE_DONE) {
        return false;
    }
    Refresh();
    return true;
}

}  // namespace qor::gateway
