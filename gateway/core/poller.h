// One thread per link: polls the link's modules in turn on their intervals,
// runs the commands that arrive for them between polls, and hands readings
// and results to the outbox and availability and counters to the state
// board. A link that fails is reopened with backoff; the polls that fall due
// meanwhile are reported as link faults without touching the link.
#ifndef QOR_GATEWAY_POLLER_H
#define QOR_GATEWAY_POLLER_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/broker/backoff.h"
#include "gateway/core/commands.h"
#include "gateway/core/config.h"
#include "gateway/core/observer.h"
#include "gateway/core/reading_cache.h"
#include "gateway/core/schedule.h"
#include "gateway/core/status_view.h"
#include "gateway/mqtt/json.h"
#include "gateway/mqtt/state_board.h"
#include "gateway/spool/outbox.h"
#include "qor_comm.h"

namespace qor::gateway {

struct PollerSettings {
    std::string prefix;
    int offline_after = 3;
    std::chrono::seconds counters_interval{60};
    ReadingCache *cache = nullptr;  // set: readings and availability go there too
    std::size_t link_index = 0;     // this link's place in the cache
    StatusView *status = nullptr;   // told what happens, where there is one
    std::uint64_t boot = 0;
    PollObserver *observer = nullptr;  // told of readings and availability, when set
};

struct PendingCommand {
    std::string module;
    CommandArgs args;
    std::string reply_topic;
    std::string correlation;
    std::string origin;  // who sent it, when not MQTT
    // Set: told the result. It is published on reply_topic as well, unless
    // that is empty.
    std::function<void(const CommandResult &)> done;
    // Set: after the command succeeds, this poll runs and its reading goes
    // to the observer, so that the new value is seen at once.
    std::optional<PollSpec> read_back;
    // Set: no command but a read on demand of the module's poll of this
    // name; its reading is published and answered on reply_topic.
    std::string get{};
};

// Commands waiting on one link; more are refused rather than piled up.
constexpr std::size_t kMaxQueuedCommands = 32;

class LinkPoller {
  public:
    using Clock = Schedule::Clock;

    LinkPoller(LinkSpec spec, int port, PollerSettings settings, Outbox &outbox, StateBoard &board);
    ~LinkPoller();
    LinkPoller(const LinkPoller &) = delete;
    LinkPoller &operator=(const LinkPoller &) = delete;

    void Start();
    // Lets the transaction in progress finish, answers queued commands as not
    // run, publishes the last counters, closes the port.
    void Stop();
    // The same in two steps, for many links at once: RequestStop returns at
    // once; WaitStopped waits until `until` at most. When the link's
    // transaction outlasts that (a line dripping bytes, a silent module at a
    // long time-out) the queued commands are answered as not run, the thread
    // is left to finish alone and false is returned: the poller must then
    // never be destroyed (its thread still uses it), and the process ends
    // soon after.
    void RequestStop();
    bool WaitStopped(Clock::time_point until);
    // False when the link's command queue is full.
    bool Submit(PendingCommand command);
    const LinkSpec &Spec() const { return spec_; }

  private:
    void AnswerNotRun(std::deque<PendingCommand> commands);

    enum class Availability { kUnknown, kOnline, kOffline };
    struct ModuleState {
        const ModuleSpec *spec = nullptr;
        std::string topic;
        int failures = 0;
        Availability availability = Availability::kUnknown;
        ModuleCounters counters;
    };
    struct PollTask {
        std::size_t module;
        const PollSpec *poll;
        std::string topic;
        std::uint64_t seq = 0;
        ReportFilter filter;  // by exception: what was published last
    };
    void Run();
    void Poll(std::size_t index);
    // One reading of a task, told to all; published when its filter says
    // so, or always when forced.
    Reading Take(PollTask &task, bool forced);
    Reading Transact(const ModuleState &module, const PollSpec &poll);
    void Execute(const PendingCommand &command);
    void ExecuteGet(const PendingCommand &command);
    // The value a command sends, in the module's own terms, or why not.
    std::optional<std::string> RawArgs(const ModuleState &module, CommandArgs *args) const;
    void Account(ModuleState &module, int status, int error);
    void CountLateness(ModuleState &module);
    void SetAvailability(ModuleState &module, Availability availability);
    bool EnsureOpen(Clock::time_point now);
    void NoteLinkResult(int status, int error);
    void PublishCounters();
    void Answer(const PendingCommand &command, CommandResult result);
    ModuleState *FindModule(const std::string &name);

    LinkSpec spec_;
    int port_;
    PollerSettings settings_;
    Outbox &outbox_;
    StateBoard &board_;
    std::vector<ModuleState> modules_;
    std::vector<PollTask> tasks_;
    Schedule schedule_;
    bool open_ = false;
    Clock::time_point retry_at_;
    Backoff backoff_;
    bool own_trace_ = true;
    QOR_LinkCounts link_counts_{};  // the byte link's counts after the last poll

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<PendingCommand> commands_;
    bool stopping_ = false;
    bool finished_ = false;  // Run has returned
    std::condition_variable finished_wake_;
    std::thread thread_;
};

}  // namespace qor::gateway

#endif
