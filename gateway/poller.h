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

#include "backoff.h"
#include "commands.h"
#include "config.h"
#include "json.h"
#include "observer.h"
#include "outbox.h"
#include "schedule.h"
#include "state_board.h"

namespace qor::gateway {

struct PollerSettings {
    std::string prefix;
    int offline_after = 3;
    std::chrono::seconds counters_interval{60};
    PollObserver *observer = nullptr;  // told of readings and availability, when set
};

struct PendingCommand {
    std::string module;
    CommandArgs args;
    std::string reply_topic;
    std::string correlation;
    // Set: the result goes here rather than to reply_topic.
    std::function<void(const CommandResult &)> done;
    // Set: after the command succeeds, this poll runs and its reading goes
    // to the observer, so that the new value is seen at once.
    std::optional<PollSpec> read_back;
};

// Commands waiting on one link; more are refused rather than piled up.
constexpr std::size_t kMaxQueuedCommands = 32;

class LinkPoller {
  public:
    LinkPoller(LinkSpec spec, int port, PollerSettings settings, Outbox &outbox, StateBoard &board);
    ~LinkPoller();
    LinkPoller(const LinkPoller &) = delete;
    LinkPoller &operator=(const LinkPoller &) = delete;

    void Start();
    // Lets the transaction in progress finish, answers queued commands as not
    // run, publishes the last counters, closes the port.
    void Stop();
    // False when the link's command queue is full.
    bool Submit(PendingCommand command);
    const LinkSpec &spec() const { return spec_; }

  private:
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
    };
    using Clock = Schedule::Clock;

    void Run();
    void Poll(std::size_t index);
    Reading Transact(const ModuleState &module, const PollSpec &poll);
    void Execute(const PendingCommand &command);
    void Account(ModuleState &module, int status, int error);
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

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<PendingCommand> commands_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace qor::gateway

#endif
