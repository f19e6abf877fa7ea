// One thread per link: polls the link's modules in turn on their intervals,
// runs the commands that arrive for them between polls, and tells the
// outputs (outputs.h) every reading, availability change, result and the
// counters. A link that fails is reopened with backoff; the polls that fall
// due meanwhile are reported as link faults without touching the link.
#ifndef QOR_GATEWAY_POLLER_H
#define QOR_GATEWAY_POLLER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/core/backoff.h"
#include "gateway/core/config.h"
#include "gateway/core/intake.h"
#include "gateway/core/outputs.h"
#include "gateway/core/report.h"
#include "gateway/core/schedule.h"
#include "qor_comm.h"

namespace qor::gateway {

struct PollerSettings {
    int offline_after = 3;
    std::chrono::seconds counters_interval{60};
};

struct ModuleCounters {
    std::uint64_t replies = 0;      // polls answered with a value
    std::uint64_t timeouts = 0;     // no complete reply
    std::uint64_t errors = 0;       // error replies and unreadable ones
    std::uint64_t link_faults = 0;  // frame not written: link down
    std::uint64_t overruns = 0;     // poll slots skipped because the bus was busy
    std::uint64_t commands = 0;     // commands run
    // What the byte link saw of late replies while polling this module:
    // input that came after its exchange ended, and replies refused as
    // ambiguous (those count as timeouts too).
    std::uint64_t late_replies = 0;
    std::uint64_t refused = 0;
};

// Commands waiting on one link; more are refused rather than piled up.
constexpr std::size_t kMaxQueuedCommands = 32;

class LinkPoller {
  public:
    using Clock = Schedule::Clock;

    // link: the link's place in the configuration, as PollRef counts it.
    LinkPoller(LinkSpec spec, std::size_t link, int port, PollerSettings settings,
               Outputs &outputs);
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
    // False when the link's command queue is full or the poller stops; the
    // command has been checked (intake.h).
    bool Submit(Command command);
    const LinkSpec &Spec() const { return spec_; }

  private:
    void AnswerNotRun(std::deque<Command> commands);

    struct ModuleState {
        const ModuleSpec *spec = nullptr;
        int failures = 0;
        Availability availability = Availability::kUnknown;
        ModuleCounters counters;
    };
    struct PollTask {
        PollRef ref;
        const PollSpec *poll;
        std::uint64_t seq = 0;
        ReportFilter filter;  // by exception: what was published last
    };
    void Run();
    void Finish();
    void Poll(std::size_t index);
    // One reading of a task, told to all; published when its filter says
    // so, or always when forced.
    Reading Take(PollTask &task, bool forced);
    Reading Transact(const ModuleState &module, const PollSpec &poll);
    void Execute(const Command &command);
    void RunOn(ModuleState &module, const Command &command, CommandResult result);
    void ExecuteGet(const Command &command);
    PollTask *FindTask(const std::string &module, const std::string &poll);
    void Account(ModuleState &module, int status, int error);
    void CountLateness(ModuleState &module);
    void SetAvailability(ModuleState &module, Availability availability);
    bool EnsureOpen(Clock::time_point now);
    void NoteLinkResult(int status, int error);
    void PublishCounters();
    void Answer(const Command &command, CommandResult result);
    ModuleState *FindModule(const std::string &name);

    LinkSpec spec_;
    std::size_t link_;
    int port_;
    PollerSettings settings_;
    Outputs &outputs_;
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
    std::deque<Command> commands_;
    bool stopping_ = false;
    bool finished_ = false;  // Run has returned
    std::condition_variable finished_wake_;
    std::thread thread_;
};

}  // namespace qor::gateway

#endif
