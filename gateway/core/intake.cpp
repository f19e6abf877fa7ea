#include "gateway/core/intake.h"

#include <variant>

#include "gateway/core/log.h"
#include "gateway/core/outputs.h"
#include "gateway/core/poller.h"

namespace qor::gateway {

namespace {

// The "rb" poll of that name, whose switch takes "ON" and "OFF".
const PollSpec *BitPoll(const ModuleSpec &module, const std::string &name) {
    for (const PollSpec &poll : module.polls) {
        if (poll.query == Query::kRb && poll.name == name) {
            return &poll;
        }
    }
    return nullptr;
}

const char *OriginWord(Origin origin) {
    switch (origin) {
        case Origin::kPage:
            return "http";
        case Origin::kModbus:
            return "modbus";
        case Origin::kSparkplug:
            return "sparkplug";
        case Origin::kMqtt:
            break;
    }
    return "mqtt";
}

// "hi for hall1/boiler" in the event log, with who sent it where known.
std::string Describe(const Command &command, const std::string &label) {
    std::string text = label + " for " + command.link + "/" + command.module;
    if (command.origin != Origin::kMqtt) {
        text += std::string(" from ") + OriginWord(command.origin) +
                (command.who.empty() ? "" : " " + command.who);
    }
    return text;
}

}  // namespace

std::optional<std::string> RawLimit(const ModuleSpec &module, CommandArgs *args) {
    Query limit = Query::kRh;
    if (args->kind == CommandKind::kLo) {
        limit = Query::kRl;
    } else if (args->kind != CommandKind::kHi) {
        return std::nullopt;
    }
    for (const PollSpec &poll : module.polls) {
        if (poll.query == limit) {
            if (poll.scaling.Identity()) {
                return std::nullopt;
            }
            double raw = 0;
            if (auto why = poll.scaling.ToRaw(args->value, &raw)) {
                return "\"" + poll.name + "\": " + *why;
            }
            args->value = raw;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

void CommandIntake::Open(const Config *config, std::vector<LinkPoller *> pollers) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
    pollers_ = std::move(pollers);
    closed_ = nullptr;
}

void CommandIntake::Close(const char *why) {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = why;
}

std::string CommandIntake::Find(const Command &command, const ModuleSpec **module,
                                LinkPoller **poller, Refusal *refusal) const {
    if (closed_ != nullptr) {
        *refusal = Refusal::kClosed;
        return std::string(closed_) + "; not run, send it again";
    }
    *refusal = Refusal::kTarget;
    for (std::size_t i = 0; i < pollers_.size(); ++i) {
        if (config_->links[i].name == command.link) {
            *poller = pollers_[i];
            *module = config_->links[i].Module(command.module);
        }
    }
    if (*module == nullptr) {
        return "no module " + Quoted(command.module, 64) + " on link " + Quoted(command.link, 64);
    }
    return "";
}

std::string CommandIntake::Check(const ModuleSpec &module, Command *command, Refusal *refusal) {
    *refusal = Refusal::kTarget;
    if (!command->get.empty()) {
        for (const PollSpec &poll : module.polls) {
            if (poll.name == command->get) {
                return "";
            }
        }
        return "no poll " + Quoted(command->get, 64) + " on module \"" + module.name + "\"";
    }
    CommandKind kind = command->args.kind;
    if (!module.Writable(kind)) {
        return "\"" + std::string(CommandName(kind)) + "\" is not writable on module \"" +
               module.name + "\"";
    }
    double given = command->args.value;
    if (auto reason = RawLimit(module, &command->args)) {
        *refusal = Refusal::kArguments;
        return *reason + "; not sent";
    }
    if (command->args.value != given) {
        command->engineering = given;
    }
    return "";
}

// The lock is held throughout, so that the link's poller cannot be stopped
// under the command; answers go out through the outputs, which never call
// back in.
std::string CommandIntake::Submit(Command command) {
    std::lock_guard<std::mutex> lock(mutex_);
    const ModuleSpec *module = nullptr;
    LinkPoller *poller = nullptr;
    Refusal refusal = Refusal::kNone;
    std::string why = Find(command, &module, &poller, &refusal);
    if (why.empty()) {
        why = Check(*module, &command, &refusal);
    }
    if (!why.empty()) {
        return Refuse(command, why, refusal);
    }
    std::string text = Describe(command, command.get.empty() ? command.name : "get " + command.get);
    Command kept = command;
    if (!poller->Submit(std::move(command))) {
        return Refuse(kept, "too many commands waiting on the link", Refusal::kBusy);
    }
    outputs_.Plant().NoteCommand(true, text);
    return "";
}

std::string CommandIntake::SubmitText(Command command, std::string_view payload) {
    auto kind = CommandFromName(command.name);
    if (!kind) {
        // "ON" or "OFF" on the name of an "rb" poll (a Home Assistant
        // switch) sets or clears its bit as "sb" and "cb" do, if writable.
        const PollSpec *bit = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const ModuleSpec *module = nullptr;
            LinkPoller *poller = nullptr;
            Refusal refusal = Refusal::kNone;
            if (Find(command, &module, &poller, &refusal).empty()) {
                bit = BitPoll(*module, command.name);
            }
        }
        if (bit == nullptr) {
            return Refuse(command, "no command " + Quoted(command.name, 64), Refusal::kTarget);
        }
        if (payload != "ON" && payload != "OFF") {
            return Refuse(command, "a bit takes \"ON\" or \"OFF\"", Refusal::kArguments);
        }
        command.args.kind = payload == "ON" ? CommandKind::kSb : CommandKind::kCb;
        command.args.bit = bit->bit;
        return Submit(std::move(command));
    }
    auto parsed = ParseCommand(*kind, payload);
    if (auto *reason = std::get_if<std::string>(&parsed)) {
        return Refuse(command, *reason, Refusal::kArguments);
    }
    command.args = std::get<CommandArgs>(parsed);
    return Submit(std::move(command));
}

std::string CommandIntake::SubmitGet(Command command, std::string_view payload) {
    command.name = "get";
    auto parsed = ParsePayloadFields(payload);
    if (auto *reason = std::get_if<std::string>(&parsed)) {
        return Refuse(command, *reason, Refusal::kArguments);
    }
    const PayloadFields &f = std::get<PayloadFields>(parsed);
    if (f.value || f.latching || f.outputs || f.bytes || f.bit) {
        return Refuse(command, "get takes an empty payload or {}", Refusal::kArguments);
    }
    return Submit(std::move(command));
}

std::string CommandIntake::Refuse(const Command &command, const std::string &reason,
                                  Refusal refusal, const char *kind) {
    // The reason quotes what it holds from outside already.
    std::string where = command.topic.empty()
                            ? "for " + Quoted(command.link + "/" + command.module, 140)
                            : "on " + Quoted(command.topic);
    LogRepeated(Level::kWarning, kind,
                "command " + Quoted(command.name, 64) + " " + where + " refused: " + reason,
                reason.substr(0, 300));
    outputs_.Plant().NoteCommand(
        false, "refused " + command.name.substr(0, 64) + " " + where + ": " + reason);
    CommandResult result;
    result.command = command.name.substr(0, 64);
    result.reason = reason;
    result.refusal = refusal;
    result.when = std::chrono::system_clock::now();
    if (command.origin == Origin::kModbus) {
        result.origin = "modbus " + command.who;
    }
    outputs_.TellResult(command, result);
    return reason;
}

}  // namespace qor::gateway
