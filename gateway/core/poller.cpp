#include "gateway/core/poller.h"

#include <algorithm>
#include <cstdio>

#include "gateway/core/link_hooks.h"
#include "gateway/core/log.h"
#include "qor_comm.h"
#include "qor_dll.h"

namespace qor::gateway {

namespace {

using namespace std::chrono_literals;

bool IsFailure(int status, int error) {
    // No reply, or nothing written: the module did not answer. An error
    // reply is an answer, so it keeps the module online.
    return (status == QOR_STATUS_REPLY_FAULT && error == QOR_ERROR_NO_REPLY) ||
           (status == QOR_STATUS_LINK_FAULT && error == QOR_ERROR_NOT_WRITTEN);
}

bool IsLinkFault(int status, int error) {
    return status == QOR_STATUS_LINK_FAULT && error == QOR_ERROR_NOT_WRITTEN;
}

}  // namespace

LinkPoller::LinkPoller(LinkSpec spec, std::size_t link, int port, PollerSettings settings,
                       Outputs &outputs)
    : spec_(std::move(spec)),
      link_(link),
      port_(port),
      settings_(settings),
      outputs_(outputs),
      backoff_(250ms, 30s) {
    for (const ModuleSpec &m : spec_.modules) {
        ModuleState state;
        state.spec = &m;
        modules_.push_back(std::move(state));
    }
    Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < modules_.size(); ++i) {
        const std::vector<PollSpec> &polls = modules_[i].spec->polls;
        for (std::size_t j = 0; j < polls.size(); ++j) {
            PollRef ref{link_, i, j};
            tasks_.push_back({ref, &polls[j], outputs_.LastSeq(ref),
                              ReportFilter(polls[j].report, polls[j].interval)});
            schedule_.Add(polls[j].interval, start);
        }
    }
}

LinkPoller::~LinkPoller() {
    Stop();
}

void LinkPoller::Start() {
    thread_ = std::thread([this] { Run(); });
}

void LinkPoller::Stop() {
    RequestStop();
    WaitStopped(Clock::time_point::max());
}

void LinkPoller::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

bool LinkPoller::WaitStopped(Clock::time_point until) {
    if (!thread_.joinable()) {
        return true;
    }
    std::deque<Command> left;
    bool finished = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        auto done = [this] { return finished_; };
        if (until == Clock::time_point::max()) {
            finished_wake_.wait(lock, done);
            finished = true;
        } else {
            finished = finished_wake_.wait_until(lock, until, done);
        }
        if (!finished) {
            left.swap(commands_);
        }
    }
    if (finished) {
        thread_.join();
        return true;
    }
    Log(Level::kWarning,
        "link " + spec_.name + ": its transaction is still running; abandoned to end the stop");
    AnswerNotRun(std::move(left));
    thread_.detach();
    return false;
}

void LinkPoller::AnswerNotRun(std::deque<Command> commands) {
    for (const Command &command : commands) {
        CommandResult result;
        result.command = command.get.empty() ? CommandName(command.args.kind) : "get";
        result.reason = "the gateway is stopping; not run";
        result.refusal = Refusal::kClosed;
        Answer(command, result);
    }
}

bool LinkPoller::Submit(Command command) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || commands_.size() >= kMaxQueuedCommands) {
            return false;
        }
        commands_.push_back(std::move(command));
    }
    wake_.notify_all();
    return true;
}

void LinkPoller::Run() {
    own_trace_ = !InstallLinkTrace(port_, spec_.name);
    EnsureOpen(Clock::now());
    Clock::time_point counters_due = Clock::now() + settings_.counters_interval;
    bool command_last = false;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        Clock::time_point wake_at = counters_due;
        if (!schedule_.Empty()) {
            wake_at = std::min(wake_at, schedule_.DueAt(schedule_.Next()));
        }
        // Commands and due polls take turns, so that neither starves.
        bool poll_due = Clock::now() >= wake_at;
        if (!commands_.empty() && !(poll_due && command_last)) {
            Command command = std::move(commands_.front());
            commands_.pop_front();
            lock.unlock();
            Execute(command);
            command_last = true;
            lock.lock();
            continue;
        }
        if (!poll_due) {
            wake_.wait_until(lock, wake_at);
            continue;
        }
        lock.unlock();
        if (Clock::now() >= counters_due) {
            PublishCounters();
            counters_due += settings_.counters_interval;
        } else {
            Poll(schedule_.Next());
            command_last = false;
        }
        lock.lock();
    }
    lock.unlock();
    Finish();
}

// What a stop leaves: the queued commands answered as not run, the last
// counters, the port closed; then WaitStopped may return.
void LinkPoller::Finish() {
    std::deque<Command> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left = std::move(commands_);
    }
    AnswerNotRun(std::move(left));
    PublishCounters();
    RemoveLinkTrace(port_);
    QOR_ClosePort(port_);
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    finished_wake_.notify_all();
}

// How late the poll began and the slots it missed go to the plant state:
// they tell an operator that a line is too busy for its plan.
void LinkPoller::Poll(std::size_t index) {
    PollTask &task = tasks_[index];
    ModuleState &module = modules_[task.ref.module];
    auto lag = std::chrono::duration<double>(Clock::now() - schedule_.DueAt(index)).count();
    Take(task, false);
    std::uint64_t skipped = schedule_.Done(index, Clock::now());
    module.counters.overruns += skipped;
    outputs_.Plant().NoteSlot(task.ref, std::max(0.0, lag), skipped);
}

// Every reading counts and goes to the plant state and every output (the
// Modbus registers must stay fresh); only the readings the task's filter
// lets through are marked published, and only those take a seq, so that
// seq stays contiguous on every output that publishes.
Reading LinkPoller::Take(PollTask &task, bool forced) {
    ModuleState &module = modules_[task.ref.module];
    Clock::time_point start = Clock::now();
    Reading reading = Transact(module, *task.poll);
    bool publish = task.filter.Decide(reading.status, reading.error, reading.value, start, forced);
    reading.seq = task.seq;
    if (publish) {
        reading.seq = ++task.seq;
    }
    reading.when = std::chrono::system_clock::now();
    outputs_.TellReading(task.ref, reading, publish,
                         std::chrono::duration<double>(Clock::now() - start).count());
    Account(module, reading.status, reading.error);
    CountLateness(module);
    return reading;
}

Reading LinkPoller::Transact(const ModuleState &module, const PollSpec &poll) {
    Clock::time_point start = Clock::now();
    if (!EnsureOpen(start)) {
        Reading down;
        down.status = QOR_STATUS_LINK_FAULT;
        down.error = QOR_ERROR_NOT_WRITTEN;
        return down;
    }
    Reading reading = RunQuery(port_, module.spec->address, poll);
    reading.error_text = ModuleErrorText(port_, reading.status, reading.error);
    if (reading.status == QOR_STATUS_OK && !poll.scaling.Identity()) {
        reading.raw = reading.value;
        reading.value = poll.scaling.ToEngineering(reading.value);
    }
    NoteLinkResult(reading.status, reading.error);
    if (own_trace_ && Verbose()) {
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        char line[160];
        std::snprintf(line, sizeof line, "link %s: %c %s -> %d/%d %g (%.1f ms)", spec_.name.c_str(),
                      module.spec->address, QueryName(poll.query), reading.status, reading.error,
                      reading.value, ms);
        Log(Level::kTrace, line);
    }
    return reading;
}

// The link is (re)opened explicitly, never left to the byte link's defaults:
// a target that fails to open must not make the port fall back to a
// default device.
bool LinkPoller::EnsureOpen(Clock::time_point now) {
    if (open_) {
        return true;
    }
    if (now < retry_at_) {
        return false;
    }
    if (QOR_OpenPort(port_, spec_.target.c_str()) == 1) {
        open_ = true;
        backoff_.Reset();
        Log(Level::kInfo, "link " + spec_.name + ": open on " + spec_.target);
        outputs_.Plant().NoteLinkUp(link_);
        return true;
    }
    auto delay = backoff_.Next();
    retry_at_ = now + delay;
    std::string why = LinkFailureText(port_, QOR_STATUS_LINK_FAULT, QOR_ERROR_NOT_WRITTEN);
    Log(Level::kWarning, "link " + spec_.name + ": cannot open " + spec_.target + " (" + why +
                             "); next attempt in " + std::to_string(delay.count()) + " ms");
    outputs_.Plant().NoteLinkDown(link_, "cannot open: " + why, false);
    return false;
}

void LinkPoller::NoteLinkResult(int status, int error) {
    if (!IsLinkFault(status, error)) {
        return;
    }
    open_ = false;
    auto delay = backoff_.Next();
    retry_at_ = Clock::now() + delay;
    std::string why = LinkFailureText(port_, status, error);
    Log(Level::kWarning, "link " + spec_.name + ": " + why + "; reopening in " +
                             std::to_string(delay.count()) + " ms");
    outputs_.Plant().NoteLinkDown(link_, why, true);
}

void LinkPoller::Execute(const Command &command) {
    if (!command.get.empty()) {
        ExecuteGet(command);
        return;
    }
    ModuleState *module = FindModule(command.module);
    CommandResult result;
    result.command = CommandName(command.args.kind);
    if (module == nullptr) {
        result.reason = "no module \"" + command.module + "\" on this link";
        Answer(command, result);
        return;
    }
    // A command is worth an attempt at once, whatever the backoff says.
    retry_at_ = Clock::time_point{};
    if (!EnsureOpen(Clock::now())) {
        result.ran = true;
        result.status = QOR_STATUS_LINK_FAULT;
        result.error = QOR_ERROR_NOT_WRITTEN;
        Answer(command, result);
        return;
    }
    RunOn(*module, command, std::move(result));
}

// The command's transaction on an open link: its time on the line counts
// towards the link's load as a poll's does.
void LinkPoller::RunOn(ModuleState &module, const Command &command, CommandResult result) {
    const CommandArgs &a = command.args;
    Clock::time_point start = Clock::now();
    CommandOutcome outcome = RunCommand(port_, module.spec->address, a);
    outputs_.Plant().NoteBusy(link_, std::chrono::duration<double>(Clock::now() - start).count());
    NoteLinkResult(outcome.status, outcome.error);
    ++module.counters.commands;
    result.ran = true;
    result.status = outcome.status;
    result.error = outcome.error;
    result.error_text = ModuleErrorText(port_, outcome.status, outcome.error);
    result.count = outcome.count;
    std::string outcome_text =
        "status " + std::to_string(result.status) + ", error " + std::to_string(result.error);
    LogRepeated(Level::kInfo, "commands run",
                "link " + spec_.name + ": " + module.spec->name + " ran " + result.command + ": " +
                    outcome_text,
                result.command + " on " + module.spec->name + ", " + outcome_text);
    if (outcome.status == QOR_STATUS_OK) {
        ModuleRef ref{link_, static_cast<std::size_t>(&module - modules_.data())};
        outputs_.Plant().NoteWritten(
            ref, a.kind,
            a.kind == CommandKind::kDo ? a.outputs : command.engineering.value_or(a.value));
    }
    Answer(command, result);
    if (outcome.status == QOR_STATUS_OK && !command.read_back.empty()) {
        if (PollTask *task = FindTask(module.spec->name, command.read_back)) {
            Take(*task, true);
        }
    }
}

LinkPoller::PollTask *LinkPoller::FindTask(const std::string &module, const std::string &poll) {
    for (PollTask &task : tasks_) {
        if (modules_[task.ref.module].spec->name == module && task.poll->name == poll) {
            return &task;
        }
    }
    return nullptr;
}

// A read on demand: the poll runs now, between polls, and its reading is
// published (whatever report by exception would say) and answered.
void LinkPoller::ExecuteGet(const Command &command) {
    CommandResult result;
    result.command = "get";
    PollTask *task = FindTask(command.module, command.get);
    if (task == nullptr) {
        result.reason = "no poll \"" + command.get + "\" on module \"" + command.module + "\"";
        Answer(command, result);
        return;
    }
    retry_at_ = Clock::time_point{};  // worth an attempt at once, as a command
    Reading reading = Take(*task, true);
    result.ran = true;
    result.status = reading.status;
    result.error = reading.error;
    result.error_text = reading.error_text;
    result.reading = reading;
    Answer(command, result);
}

void LinkPoller::Answer(const Command &command, CommandResult result) {
    result.when = std::chrono::system_clock::now();
    if (command.origin == Origin::kModbus) {
        result.origin = "modbus " + command.who;
    }
    outputs_.TellResult(command, result);
}

void LinkPoller::Account(ModuleState &module, int status, int error) {
    ModuleCounters &c = module.counters;
    if (status == QOR_STATUS_OK) {
        ++c.replies;
    } else if (status == QOR_STATUS_REPLY_FAULT && error == QOR_ERROR_NO_REPLY) {
        ++c.timeouts;
    } else if (IsLinkFault(status, error)) {
        ++c.link_faults;
    } else {
        ++c.errors;
    }
    if (!IsFailure(status, error)) {
        module.failures = 0;
        SetAvailability(module, Availability::kOnline);
    } else if (++module.failures >= settings_.offline_after) {
        SetAvailability(module, Availability::kOffline);
    }
}

void LinkPoller::CountLateness(ModuleState &module) {
    QOR_LinkCounts now{};
    QOR_PortCounts(port_, &now);
    // Counts that went down belong to a port that started again.
    auto grown = [](long long after, long long before) {
        return static_cast<std::uint64_t>(after >= before ? after - before : after);
    };
    std::uint64_t late = grown(now.late_inputs, link_counts_.late_inputs);
    module.counters.late_replies += late;
    module.counters.refused += grown(now.refused, link_counts_.refused);
    if (late > 0) {
        outputs_.Plant().NoteLateReplies(link_, late);
    }
    link_counts_ = now;
}

void LinkPoller::SetAvailability(ModuleState &module, Availability availability) {
    if (module.availability == availability) {
        return;
    }
    module.availability = availability;
    ModuleRef ref{link_, static_cast<std::size_t>(&module - modules_.data())};
    outputs_.TellAvailability(ref, availability);
    Log(Level::kInfo, "link " + spec_.name + ": module " + module.spec->name + " is " +
                          AvailabilityName(availability));
}

void LinkPoller::PublishCounters() {
    for (std::size_t i = 0; i < modules_.size(); ++i) {
        outputs_.TellCounters(ModuleRef{link_, i}, modules_[i].counters);
    }
}

LinkPoller::ModuleState *LinkPoller::FindModule(const std::string &name) {
    for (ModuleState &module : modules_) {
        if (module.spec->name == name) {
            return &module;
        }
    }
    return nullptr;
}

}  // namespace qor::gateway
