// The store-and-forward spool: readings and command results on disk in
// SQLite (WAL), each kept until the broker has acknowledged it, with the
// last seq of every stream and the boot number. The outbox decides what is
// written when; this is only the file.
#ifndef QOR_GATEWAY_SPOOL_H
#define QOR_GATEWAY_SPOOL_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct sqlite3;

namespace qor::gateway {

struct Message;

struct SpoolSettings {
    bool enabled = true;
    std::string path;  // resolved: the state directory or beside the configuration
    std::chrono::milliseconds commit_interval{200};
    std::size_t commit_messages = 500;
    std::uint64_t max_bytes = 100ull << 20;
    std::chrono::seconds max_age{7 * 24 * 3600};
    unsigned line = 0;  // of spool_path; 0: not in the file

    // The settings alone, not where the file names them.

    bool operator==(const SpoolSettings &other) const;
};

// One stored message: its id orders the spool.
struct SpoolRow {
    std::uint64_t id = 0;
    std::string topic;
    std::string payload;
    std::string correlation;
    std::int64_t at_ms = 0;  // when it was taken, Unix time
};

// What one commit writes, in one transaction.
struct SpoolBatch {
    std::vector<SpoolRow> rows;
    std::vector<std::uint64_t> removed;         // delivered
    std::map<std::string, std::uint64_t> seqs;  // stream -> last seq
};

class Spool {
  public:
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    // Opens the file, counting the start in its boot number, and holds it
    // for this process alone until the spool is destroyed. A file that is
    // not a sound database is moved aside (PATH.corrupt-TIMESTAMP) and a
    // fresh one made: *moved_aside then names where it went. Null, with the
    // reason in *why, when no spool can be had there; *refused is then set
    // when the file belongs to someone else (another process holds it, or it
    // is another program's database, which is left untouched), as opposed
    // to a place where no file can be made at all.
    static std::unique_ptr<Spool> Open(const std::string &path, std::string *why,
                                       std::string *moved_aside, bool *refused = nullptr);

    std::uint64_t Boot() const { return boot_; }
    const std::map<std::string, std::uint64_t> &Seqs() const { return seqs_; }
    std::uint64_t LastId() const { return last_id_; }
    std::uint64_t Bytes() const { return bytes_; }
    std::uint64_t Count() const { return count_; }
    std::int64_t OldestAtMs() const { return oldest_at_ms_; }
    const std::string &Path() const { return path_; }

    // False with the reason when the transaction failed (nothing of it
    // stays); *corrupt when the file is no longer a database.
    bool Write(const SpoolBatch &batch, std::string *why, bool *corrupt);
    // Stored messages from id `from` on, oldest first.
    std::vector<SpoolRow> Read(std::uint64_t from, std::size_t limit);
    // Deletes the oldest messages (never those in `keep`) until the spool is
    // within max_bytes and none is older than max_age; their ids, and in
    // *aged how many of them went for their age.
    std::vector<std::uint64_t> Trim(std::uint64_t max_bytes, std::chrono::seconds max_age,
                                    const std::set<std::uint64_t> &keep, std::int64_t now_ms,
                                    std::size_t *aged);
    // Moves the times of the messages from id `from` on by step_ms (the wall
    // clock stepped); false when the file cannot take it now.
    bool Shift(std::int64_t step_ms, std::uint64_t from);

    // Bytes a message counts for in the bound.
    static std::uint64_t Size(const SpoolRow &row);

  private:
    explicit Spool(std::string path) : path_(std::move(path)) {}
    bool Lock(std::string *why, bool *refused);
    bool IsOurs(std::string *why, bool *refused);
    bool Prepare(std::string *why, bool *refused);
    bool Exec(const char *sql, std::string *why);
    void Refresh();

    std::string path_;
    int lock_fd_ = -1;  // closed after the database: closing it drops SQLite's locks too
    sqlite3 *db_ = nullptr;
    std::uint64_t boot_ = 0;
    std::map<std::string, std::uint64_t> seqs_;
    std::uint64_t last_id_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t count_ = 0;
    std::int64_t oldest_at_ms_ = 0;
};

// Moves a file (and its -wal and -shm) aside under a timestamped name;
// the new name, or empty when it could not be moved.
std::string MoveAside(const std::string &path);

}  // namespace qor::gateway

#endif
