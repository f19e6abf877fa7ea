// The one way in for commands, wherever they come from: MQTT set and get
// topics (the Home Assistant switch among them), the status page, Modbus
// writes and Sparkplug B DCMD. Each source types its command once (a
// catalogue command with its arguments, or a read on demand of a poll),
// says where it came from and how it wants its answer, and hands it here.
// Every command then passes the same checks (the module exists, the
// command is writable on it, its arguments are in range, a limit's scaling
// takes the value back to the module's own), waits on its link's queue,
// and is answered once, through the outputs (outputs.h), run or refused.
#ifndef QOR_GATEWAY_CORE_INTAKE_H
#define QOR_GATEWAY_CORE_INTAKE_H

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/core/commands.h"
#include "gateway/core/config.h"
#include "gateway/core/queries.h"

namespace qor::gateway {

enum class Origin { kMqtt, kPage, kModbus, kSparkplug };

// Why a command was not run, for a source that answers in its own codes
// (a Modbus exception).
enum class Refusal {
    kNone,       // it ran
    kTarget,     // no such module, poll or command, or not writable
    kArguments,  // a payload or value it cannot take
    kBusy,       // its link's queue is full
    kClosed,     // the gateway is reloading or stopping
};

struct CommandResult {
    std::string command;
    bool ran = false;    // false: refused before anything was sent
    std::string reason;  // why it was refused
    Refusal refusal = Refusal::kNone;
    int status = 0;
    int error = 0;
    std::string error_text;
    std::optional<long> count;  // ec
    std::chrono::system_clock::time_point when;
    std::string origin;  // "modbus 10.0.0.7:50312" for a Modbus write; empty from MQTT
    std::optional<Reading> reading{};  // a read on demand: the reading it took
};

struct Command {
    std::string link;
    std::string module;
    std::string name;  // as its sender named it: a command word, a switch's poll, "get"
    CommandArgs args;  // a command's, in the module's own terms once the intake took it
    // A limit whose poll scales it: the value its sender gave, in the poll's
    // unit (args then holds the raw value the module is sent).
    std::optional<double> engineering{};
    std::string get;  // set: no command but a read on demand of this poll
    Origin origin = Origin::kMqtt;
    std::string who;    // the page's user, the Modbus client's address
    std::string topic;  // the MQTT topic it came on, for the log
    // Where an MQTT sender asked for the answer (its response topic, already
    // checked to lie in the reply namespace) and its correlation data.
    std::string reply_topic;
    std::string correlation;
    // Whether the answer is also published on the command's MQTT result
    // topic (a Sparkplug B write answers in Sparkplug's own terms instead).
    bool publish_result = true;
    // Set: after the command succeeds, this poll of the module runs at once,
    // and its reading goes out like any other, so that the new value is seen.
    std::string read_back;
    // Set: told the result, on the poller's thread, after the outputs.
    std::function<void(const CommandResult &)> done;
};

class Outputs;
class LinkPoller;

class CommandIntake {
  public:
    explicit CommandIntake(Outputs &outputs) : outputs_(outputs) {}

    // The running configuration and its links' pollers (in the order of
    // config.links); commands are refused as "reloading" (or "stopping")
    // between Close and Open. The configuration and pollers outlive Close.
    void Open(const Config *config, std::vector<LinkPoller *> pollers);
    void Close(const char *why);

    // A typed command: checked and queued on its link. Empty when it was
    // queued, else the reason it was refused, which has been answered.
    std::string Submit(Command command);
    // A command in its text form, command.name with a JSON payload: a
    // command word ({"value": 1.5}), or the name of an "rb" poll with "ON"
    // or "OFF" (a switch: sets or clears its bit as "sb" and "cb" do).
    std::string SubmitText(Command command, std::string_view payload);
    // A read on demand of the poll command.get (payload empty or {}).
    std::string SubmitGet(Command command, std::string_view payload);
    // Answers the command as refused for reason, counted and logged under
    // kind, and returns the reason.
    std::string Refuse(const Command &command, const std::string &reason, Refusal refusal,
                       const char *kind = "commands refused");

  private:
    // Under mutex_: the module as configured and its link's poller, or why not.
    std::string Find(const Command &command, const ModuleSpec **module, LinkPoller **poller,
                     Refusal *refusal) const;
    // Under mutex_: why the module does not take the command, or empty.
    static std::string Check(const ModuleSpec &module, Command *command, Refusal *refusal);

    Outputs &outputs_;
    mutable std::mutex mutex_;
    const Config *config_ = nullptr;
    std::vector<LinkPoller *> pollers_;
    const char *closed_ = "the gateway is starting";
};

// The raw value a limit written through hi or lo is sent as: a limit is in
// the unit its rh or rl poll publishes, so the first such poll's scaling
// takes it back to the module's. The reason when it cannot be.
std::optional<std::string> RawLimit(const ModuleSpec &module, CommandArgs *args);

}  // namespace qor::gateway

#endif
