#include "gateway/spool/outbox.h"

#include <algorithm>
#include <chrono>

#include "gateway/core/log.h"

namespace qor::gateway {

namespace {

// Spool rows read into RAM at a time.
constexpr std::size_t kWindow = 1000;
// An age bound no message reaches (68 years), while times are off by a step.
constexpr std::int64_t kNoAgeBound = 0x7FFFFFFF;

std::int64_t SystemMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// "+691200 s (8 days)", to the nearest second.
std::string StepText(std::int64_t step_ms) {
    std::int64_t seconds = (step_ms + (step_ms < 0 ? -500 : 500)) / 1000;
    std::int64_t days = (seconds < 0 ? -seconds : seconds) / 86400;
    return (seconds < 0 ? "" : "+") + std::to_string(seconds) + " s" +
           (days > 0 ? " (" + std::to_string(days) + (days == 1 ? " day)" : " days)") : "");
}

}  // namespace

SpoolClock::SpoolClock(WallMs wall) : wall_(wall ? std::move(wall) : WallMs(SystemMs)) {
    wall_ms_ = wall_();
    steady_ = std::chrono::steady_clock::now();
}

std::int64_t SpoolClock::NowMs() const {
    auto gone = std::chrono::steady_clock::now() - steady_;
    return wall_ms_ + std::chrono::duration_cast<std::chrono::milliseconds>(gone).count();
}

std::int64_t SpoolClock::Follow() {
    std::int64_t wall = wall_();
    std::int64_t step = wall - NowMs();
    wall_ms_ = wall;
    steady_ = std::chrono::steady_clock::now();
    return step >= kStep || step <= -kStep ? step : 0;
}

Outbox::~Outbox() {
    Close();
}

void Outbox::AttachSpool(std::unique_ptr<Spool> spool, const SpoolSettings &settings) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &[stream, seq] : spool->Seqs()) {
            seqs_[stream] = std::max(seqs_[stream], seq);
        }
        spilled_ = true;  // what the last run left is read from the file
        next_load_ = 1;
        status_.spooled = true;
        std::lock_guard<std::mutex> spool_lock(spool_mutex_);
        spool_ = std::move(spool);
        CopySpoolStateLocked();
    }
    {
        std::lock_guard<std::mutex> lock(stage_mutex_);
        settings_ = settings;
        next_id_ = spool_->LastId();
        first_id_ = next_id_ + 1;
        spooling_ = true;
    }
    writer_ = std::thread([this] { WriterLoop(); });
}

void Outbox::SetSpoolSettings(const SpoolSettings &settings) {
    std::lock_guard<std::mutex> lock(stage_mutex_);
    settings_.commit_interval = settings.commit_interval;
    settings_.commit_messages = settings.commit_messages;
    settings_.max_bytes = settings.max_bytes;
    settings_.max_age = settings.max_age;
}

void Outbox::Close() {
    {
        std::lock_guard<std::mutex> lock(stage_mutex_);
        closing_ = true;
    }
    stage_wake_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    // What was staged since (deliveries acknowledged during the stop).
    SpoolBatch rest;
    {
        std::lock_guard<std::mutex> lock(stage_mutex_);
        rest = std::move(staged_);
        staged_ = SpoolBatch();
        spooling_ = false;
    }
    bool spooled = false;
    {
        std::lock_guard<std::mutex> spool_lock(spool_mutex_);
        spooled = spool_ != nullptr;
    }
    if (spooled &&
        (!rest.rows.empty() || !rest.removed.empty() || !rest.seqs.empty() || HoldsInRam())) {
        FollowClock(&rest);
        Commit(std::move(rest));
    }
}

void Outbox::SetBoot(std::uint64_t boot) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.boot = boot;
}

void Outbox::NoteSpoolReset() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++status_.spool_resets;
}

void Outbox::SetWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
}

void Outbox::CallWake() {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake = wake_;
    }
    if (wake) {
        wake();
    }
}

void Outbox::Push(Message message, std::uint64_t seq) {
    if (seq > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        seqs_[message.topic] = seq;
    }
    {
        std::unique_lock<std::mutex> stage(stage_mutex_);
        if (spooling_) {
            if (seq > 0) {
                staged_.seqs[message.topic] = seq;
            }
            SpoolRow row{++next_id_, std::move(message.topic), std::move(message.payload),
                         std::move(message.correlation), clock_.NowMs()};
            staged_.rows.push_back(std::move(row));
            bool full = staged_.rows.size() >= settings_.commit_messages;
            stage.unlock();
            if (full) {
                stage_wake_.notify_all();
            }
            return;
        }
    }
    bool was_empty = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        was_empty = queue_.empty();
        queue_.push_back({std::move(message), 0});
        ++in_ram_;
        TrimLocked();
    }
    // The reader takes everything it can each time it wakes, so only the
    // first message after it emptied the queue needs to wake it.
    if (was_empty) {
        CallWake();
    }
}

void Outbox::Return(std::vector<Queued> messages) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        if (it->id != 0) {
            in_flight_.erase(it->id);
        } else {
            ++in_ram_;
        }
        queue_.push_front(std::move(*it));
    }
    TrimLocked();
}

std::optional<Queued> Outbox::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty() && spilled_) {
        std::vector<SpoolRow> rows;
        {
            std::lock_guard<std::mutex> spool_lock(spool_mutex_);
            if (spool_) {
                rows = spool_->Read(next_load_, std::min(kWindow, capacity_));
            }
        }
        spilled_ = rows.size() >= std::min(kWindow, capacity_);
        for (SpoolRow &row : rows) {
            next_load_ = row.id + 1;
            queue_.push_back(
                {{std::move(row.topic), std::move(row.payload), std::move(row.correlation)},
                 row.id});
        }
    }
    if (queue_.empty()) {
        return std::nullopt;
    }
    Queued message = std::move(queue_.front());
    queue_.pop_front();
    if (message.id != 0) {
        in_flight_.insert(message.id);
    } else {
        --in_ram_;
    }
    return message;
}

// The id moves from in flight to the removals in one step, so that a trim
// sees it in one or the other and never drops what was delivered.
void Outbox::Delivered(std::uint64_t id, bool acknowledged) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.delivered += acknowledged ? 1 : 0;
    if (id == 0) {
        return;
    }
    in_flight_.erase(id);
    std::lock_guard<std::mutex> stage(stage_mutex_);
    staged_.removed.push_back(id);
}

std::size_t Outbox::Capacity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacity_;
}

void Outbox::SetCapacity(std::size_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    capacity_ = capacity;
    TrimLocked();
}

std::uint64_t Outbox::LastSeq(const std::string &stream) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = seqs_.find(stream);
    return it == seqs_.end() ? 0 : it->second;
}

std::size_t Outbox::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() + (spilled_ ? 1 : 0);
}

std::uint64_t Outbox::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

std::uint64_t Outbox::DroppedForRoom() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_for_room_;
}

OutboxStatus Outbox::Status() const {
    OutboxStatus status;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status = status_;
        status.dropped = dropped_;
        status.ram_only = in_ram_;
    }
    // Delivered, their removal waiting for the next commit: not unsent.
    std::lock_guard<std::mutex> stage(stage_mutex_);
    std::uint64_t leaving = std::min<std::uint64_t>(staged_.removed.size(), status.spool_messages);
    status.spool_messages -= leaving;
    if (status.spool_messages == 0) {
        status.oldest_ms = 0;
    }
    return status;
}

// Only what RAM alone holds is bounded here; the spool's rows are bounded
// by the spool.
void Outbox::TrimLocked() {
    for (auto it = queue_.begin(); in_ram_ > capacity_ && it != queue_.end();) {
        if (it->id == 0) {
            it = queue_.erase(it);
            --in_ram_;
            ++dropped_;
            ++dropped_for_room_;
        } else {
            ++it;
        }
    }
}

// Commits every commit_interval, or as soon as commit_messages wait.
void Outbox::WriterLoop() {
    for (;;) {
        SpoolBatch batch;
        bool last = false;
        {
            std::unique_lock<std::mutex> stage(stage_mutex_);
            stage_wake_.wait_for(stage, settings_.commit_interval, [this] {
                return closing_ || staged_.rows.size() >= settings_.commit_messages;
            });
            batch = std::move(staged_);
            staged_ = SpoolBatch();
            last = closing_;
            if (last) {
                spooling_ = false;
            }
        }
        FollowClock(&batch);
        if (!batch.rows.empty() || !batch.removed.empty() || !batch.seqs.empty() || HoldsInRam()) {
            Commit(std::move(batch));
        }
        if (last) {
            return;
        }
    }
}

void Outbox::Commit(SpoolBatch batch) {
    std::vector<SpoolRow> held = TakeHeld();
    if (!held.empty()) {
        held.insert(held.end(), std::make_move_iterator(batch.rows.begin()),
                    std::make_move_iterator(batch.rows.end()));
        batch.rows = std::move(held);
    }
    std::string why;
    bool corrupt = false;
    bool written = false;
    {
        std::lock_guard<std::mutex> spool_lock(spool_mutex_);
        written = spool_ && spool_->Write(batch, &why, &corrupt);
    }
    if (!written) {
        if (!why.empty()) {
            Recover(why, corrupt);
        }
        Hold(std::move(batch));
        return;
    }
    bool was_failing = false;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        was_failing = status_.spool_failing;
        status_.spool_failing = false;
        status_.committed += batch.rows.size();
    }
    if (was_failing) {
        {
            std::lock_guard<std::mutex> spool_lock(spool_mutex_);
            path = spool_ ? spool_->Path() : "";
        }
        Log(Level::kInfo, "spool " + path + ": written again; new readings go to the spool");
    }
    Committed(std::move(batch.rows));
}

void Outbox::Committed(std::vector<SpoolRow> rows) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake = WindowLocked(std::move(rows));
        TrimSpoolLocked();
    }
    if (wake) {
        CallWake();
    }
}

// Committed rows join the RAM window while it has room and nothing older
// waits in the file; past that they are read from the file in turn. True
// when the reader must be woken.
bool Outbox::WindowLocked(std::vector<SpoolRow> rows) {
    bool wake = false;
    for (SpoolRow &row : rows) {
        if (row.id < next_load_) {
            continue;  // already read from the file
        }
        if (spilled_ || queue_.size() >= std::min(kWindow, capacity_)) {
            spilled_ = true;
            break;
        }
        wake = wake || queue_.empty();
        next_load_ = row.id + 1;
        queue_.push_back(
            {{std::move(row.topic), std::move(row.payload), std::move(row.correlation)}, row.id});
    }
    return wake;
}

// The spool's bounds, measured on the spool's clock. Neither what is in
// flight nor what was delivered and waits for its removal is dropped; and
// while a step of the wall clock has yet to reach the file's times, they
// are off by it, so the age bound waits.
void Outbox::TrimSpoolLocked() {
    std::set<std::uint64_t> keep = in_flight_;
    SpoolSettings bounds;
    std::int64_t now_ms = 0;
    {
        std::lock_guard<std::mutex> stage(stage_mutex_);
        bounds = settings_;
        now_ms = clock_.NowMs();
        keep.insert(staged_.removed.begin(), staged_.removed.end());
    }
    std::lock_guard<std::mutex> spool_lock(spool_mutex_);
    auto max_age = unshifted_ms_ == 0 ? bounds.max_age : std::chrono::seconds(kNoAgeBound);
    std::size_t aged = 0;
    std::vector<std::uint64_t> gone = spool_->Trim(bounds.max_bytes, max_age, keep, now_ms, &aged);
    if (!gone.empty()) {
        std::set<std::uint64_t> dropped(gone.begin(), gone.end());
        queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                    [&](const Queued &q) { return dropped.count(q.id) != 0; }),
                     queue_.end());
        dropped_ += gone.size();
    }
    CopySpoolStateLocked();
    std::string where = "spool " + spool_->Path() + ": dropped ";
    if (aged > 0) {
        LogRepeated(Level::kWarning, "spool drops",
                    where + std::to_string(aged) + " messages older than spool_max_age_h (" +
                        std::to_string(bounds.max_age.count() / 3600) + " h)",
                    "older than spool_max_age_h");
    }
    if (gone.size() > aged) {
        LogRepeated(Level::kWarning, "spool drops",
                    where + std::to_string(gone.size() - aged) +
                        " of the oldest messages, beyond spool_max_mb",
                    "beyond spool_max_mb");
    }
}

// A step of the wall clock (NTP setting it after a boot without a clock,
// an operator) moves the times of what this run has taken by the step, so
// that their ages stay what the steady clock measured: the age bound drops
// nothing for a step, and the oldest unsent age stays true. What earlier
// runs left in the file keeps its times, which this run cannot judge.
void Outbox::FollowClock(SpoolBatch *batch) {
    std::int64_t step = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::lock_guard<std::mutex> spool_lock(spool_mutex_);
        std::lock_guard<std::mutex> stage(stage_mutex_);
        step = clock_.Follow();
        for (std::vector<SpoolRow> *rows : {&staged_.rows, &batch->rows}) {
            for (SpoolRow &row : *rows) {
                row.at_ms += step;
            }
        }
        for (Queued &q : queue_) {
            q.held_at_ms += q.held_id != 0 ? step : 0;
        }
        unshifted_ms_ += step;
        if (unshifted_ms_ != 0 && spool_ && spool_->Shift(unshifted_ms_, first_id_)) {
            unshifted_ms_ = 0;
            CopySpoolStateLocked();
        }
    }
    if (step != 0) {
        Log(Level::kWarning, "the wall clock stepped by " + StepText(step) +
                                 "; the messages waiting keep their ages (spool_max_age_h "
                                 "counts from when each was taken)");
    }
}

// A batch that could not be written is held in RAM (queue_size at most)
// and delivered from there; what it delivered and its seqs are written
// with the next batch that can be.
void Outbox::Hold(SpoolBatch batch) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake = queue_.empty() && !batch.rows.empty();
        for (SpoolRow &row : batch.rows) {
            queue_.push_back(
                {{std::move(row.topic), std::move(row.payload), std::move(row.correlation)},
                 0,
                 row.id,
                 row.at_ms});
            ++in_ram_;
        }
        TrimLocked();
        std::lock_guard<std::mutex> stage(stage_mutex_);
        staged_.removed.insert(staged_.removed.end(), batch.removed.begin(), batch.removed.end());
        for (const auto &[stream, seq] : batch.seqs) {
            staged_.seqs.emplace(stream, seq);  // a newer seq staged since wins
        }
    }
    if (wake) {
        CallWake();
    }
}

bool Outbox::HoldsInRam() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_ram_ > 0;
}

// The readings a failed batch left in RAM go back to the spool with the
// next batch, ahead of it, under the ids they were staged with: once the
// disk has room again a crash loses none of them. One taken and not yet
// acknowledged stays in RAM, as does one whose id the window has passed
// (it would not be read from the file again).
std::vector<SpoolRow> Outbox::TakeHeld() {
    std::vector<SpoolRow> rows;
    std::lock_guard<std::mutex> lock(mutex_);
    if (in_ram_ == 0) {
        return rows;
    }
    for (auto it = queue_.begin(); it != queue_.end();) {
        if (it->id != 0 || it->held_id < next_load_) {
            ++it;
            continue;
        }
        rows.push_back({it->held_id, std::move(it->message.topic), std::move(it->message.payload),
                        std::move(it->message.correlation), it->held_at_ms});
        it = queue_.erase(it);
        --in_ram_;
    }
    return rows;
}

// A file that stopped being a database is moved aside and a fresh one
// started; any other failure (the disk full) is retried with the next batch.
void Outbox::Recover(const std::string &why, bool corrupt) {
    std::string path;
    {
        std::lock_guard<std::mutex> spool_lock(spool_mutex_);
        path = spool_ ? spool_->Path() : "";
    }
    if (!corrupt) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++status_.spool_failures;
            status_.spool_failing = true;
        }
        LogRepeated(Level::kError, "failed spool writes",
                    "spool " + path + ": cannot write (" + why +
                        "); holding readings in RAM, queue_size at most",
                    why);
        return;
    }
    std::string aside;
    std::string reason;
    std::unique_ptr<Spool> fresh;
    {
        std::lock_guard<std::mutex> spool_lock(spool_mutex_);
        spool_.reset();
        aside = MoveAside(path);
        fresh = Spool::Open(path, &reason, &aside);
    }
    Log(Level::kError, "spool " + path + ": corrupt (" + why + "); moved aside to " +
                           (aside.empty() ? std::string("nowhere, it could not be moved") : aside));
    std::lock_guard<std::mutex> lock(mutex_);
    ++status_.spool_resets;
    std::lock_guard<std::mutex> spool_lock(spool_mutex_);
    if (!fresh) {
        Log(Level::kError, "spool " + path + ": " + reason + "; readings are held in RAM only");
        status_.spooled = false;
        std::lock_guard<std::mutex> stage(stage_mutex_);
        spooling_ = false;
        return;
    }
    Log(Level::kInfo, "spool " + path + ": started afresh");
    spool_ = std::move(fresh);
    spilled_ = false;
    std::lock_guard<std::mutex> stage(stage_mutex_);
    for (const auto &[stream, seq] : seqs_) {
        staged_.seqs.emplace(stream, seq);
    }
    CopySpoolStateLocked();
}

void Outbox::CopySpoolStateLocked() {
    if (!spool_) {
        return;
    }
    status_.spool_bytes = spool_->Bytes();
    status_.spool_messages = spool_->Count();
    status_.oldest_ms = spool_->Count() > 0 ? spool_->OldestAtMs() : 0;
}

}  // namespace qor::gateway
