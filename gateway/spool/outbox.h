// Messages waiting for the broker: readings and command results, in order.
// In RAM alone, at most a configured number: when it is full the oldest is
// dropped and counted, so that a long broker outage keeps the newest
// readings. With a spool (spool.h), every message is first committed to
// disk in small batches by a writer thread and leaves the spool only when
// the broker has acknowledged it; RAM then holds only a window of it, and
// the spool's bounds (bytes, age) drop the oldest, counted the same way.
#ifndef QOR_GATEWAY_OUTBOX_H
#define QOR_GATEWAY_OUTBOX_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/spool/spool.h"

namespace qor::gateway {

struct Message {
    std::string topic;
    std::string payload;
    std::string correlation;  // MQTT 5 correlation data to echo, if any
};

// A message handed out, with its place in the spool (0: held in RAM only).
struct Queued {
    Message message;
    std::uint64_t id = 0;
    // Held in RAM because the spool could not take it: the id and time it
    // was staged with, under which it goes back to the spool.
    std::uint64_t held_id = 0;
    std::int64_t held_at_ms = 0;
};

// What the gateway publishes about its delivery, beside the drop counter.
struct OutboxStatus {
    std::uint64_t boot = 0;
    std::uint64_t dropped = 0;    // since this start
    std::uint64_t delivered = 0;  // acknowledged by the broker since this start
    bool spooled = false;
    std::uint64_t spool_bytes = 0;
    std::uint64_t spool_messages = 0;
    std::int64_t oldest_ms = 0;        // Unix time of the oldest unsent message; 0: none
    std::uint64_t spool_resets = 0;    // spools moved aside and started afresh
    std::uint64_t committed = 0;       // messages committed to the spool since this start
    std::uint64_t spool_failures = 0;  // batches the spool could not take (a full disk)
    bool spool_failing = false;        // the last batch could not be written
    std::uint64_t ram_only = 0;        // unsent messages in RAM alone: lost when the gateway ends
};

// The wall clock as the spool's ages need it, in Unix milliseconds: it
// advances with the steady clock between two looks at the wall clock, so
// that a step of the wall clock shows as a step rather than as time gone by.
class SpoolClock {
  public:
    using WallMs = std::function<std::int64_t()>;
    // wall: the wall clock (the system's when empty).
    explicit SpoolClock(WallMs wall = nullptr);
    std::int64_t NowMs() const;
    // Looks at the wall clock: its step since the last look, or 0 for less
    // than kStep (NTP's slewing); from here on the clock follows it.
    std::int64_t Follow();

    static constexpr std::int64_t kStep = 1000;

  private:
    WallMs wall_;
    std::int64_t wall_ms_ = 0;
    std::chrono::steady_clock::time_point steady_;
};

class Outbox {
  public:
    // wall_ms: the wall clock the spool's times are taken from (a test's).
    explicit Outbox(std::size_t capacity, SpoolClock::WallMs wall_ms = nullptr)
        : capacity_(capacity), clock_(std::move(wall_ms)) {}
    ~Outbox();
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    // From now on messages go through the spool (before any Push). Its
    // unsent messages are delivered first, and its streams' seqs continue.
    void AttachSpool(std::unique_ptr<Spool> spool, const SpoolSettings &settings);
    // The bounds and commit pace of a reloaded configuration.
    void SetSpoolSettings(const SpoolSettings &settings);
    // Commits what waits and stops the writer; later messages stay in RAM.
    void Close();
    void SetBoot(std::uint64_t boot);
    void NoteSpoolReset();

    // seq > 0: the message is reading `seq` of the stream on its topic.
    void Push(Message message, std::uint64_t seq = 0);
    // Puts messages back at the front, oldest first (they were taken and not
    // delivered); the bound still holds.
    void Return(std::vector<Queued> messages);
    std::optional<Queued> Take();
    // The broker acknowledged a message taken (acknowledged), or can never
    // take it: either way it leaves the spool.
    void Delivered(std::uint64_t id, bool acknowledged = true);
    void SetCapacity(std::size_t capacity);
    std::size_t Capacity() const;
    // Called outside the lock when messages arrive for an empty queue: the
    // reader must take messages until Take() gives none (or it cannot send)
    // before it waits again. Set before any thread pushes.
    void SetWake(std::function<void()> wake);

    // The last seq of a stream, 0 for a new one.
    std::uint64_t LastSeq(const std::string &stream) const;
    std::size_t Size() const;
    // Every message dropped, whatever the bound.
    std::uint64_t Dropped() const;
    // Those dropped because RAM held queue_size already; the spool's own
    // bounds are logged here, by their names.
    std::uint64_t DroppedForRoom() const;
    OutboxStatus Status() const;

  private:
    void TrimLocked();
    void WriterLoop();
    void FollowClock(SpoolBatch *batch);
    void Commit(SpoolBatch batch);
    void Committed(std::vector<SpoolRow> rows);
    bool WindowLocked(std::vector<SpoolRow> rows);
    void TrimSpoolLocked();
    void Hold(SpoolBatch batch);
    std::vector<SpoolRow> TakeHeld();
    bool HoldsInRam() const;
    void Recover(const std::string &why, bool corrupt);
    void CopySpoolStateLocked();
    void CallWake();

    mutable std::mutex mutex_;  // first of the three when more are held
    std::deque<Queued> queue_;
    std::size_t capacity_;
    std::size_t in_ram_ = 0;  // entries held in RAM only (id 0)
    std::uint64_t dropped_ = 0;
    std::uint64_t dropped_for_room_ = 0;
    OutboxStatus status_;
    std::set<std::uint64_t> in_flight_;
    std::map<std::string, std::uint64_t> seqs_;
    bool spilled_ = false;  // spool rows from next_load_ on are not in RAM
    std::uint64_t next_load_ = 1;
    std::function<void()> wake_;

    std::mutex spool_mutex_;  // the spool itself
    std::unique_ptr<Spool> spool_;
    std::uint64_t first_id_ = 1;     // the first this run staged
    std::int64_t unshifted_ms_ = 0;  // a clock step the spool's rows have yet to follow

    mutable std::mutex stage_mutex_;  // what waits for the next commit
    std::condition_variable stage_wake_;
    SpoolBatch staged_;
    SpoolSettings settings_;
    SpoolClock clock_;  // what staged rows are stamped with
    std::uint64_t next_id_ = 0;
    bool spooling_ = false;
    bool closing_ = false;
    std::thread writer_;
};

}  // namespace qor::gateway

#endif
