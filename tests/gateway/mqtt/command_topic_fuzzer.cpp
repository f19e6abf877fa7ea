// Feeds arbitrary topics and payloads, as MQTT hands them to the gateway,
// into what turns them into commands, and checks what must hold whatever
// they are:
//  - a topic split into link, module and command is exactly the command
//    topic built again from them, and no part holds a "/";
//  - a payload parsed into a command gives arguments of that command, a
//    value that is finite;
//  - a response topic taken into the reply namespace has no wildcard and
//    no control byte;
//  - (with the sanitizers) no memory error, no undefined behaviour.
//
// Input layout: the topic, a NUL, then the payload (no NUL: all topic).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include "gateway/core/commands.h"
#include "gateway/mqtt/topics.h"

namespace {

using namespace qor::gateway;

const std::string kPrefix = "plant/hall1";

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "invariant broken: %s: [%s]\n", what, detail.c_str());
    std::abort();
}

void CheckTopic(const std::string &topic, const char *verb) {
    auto parts = SplitCommandTopic(kPrefix, topic, verb);
    if (!parts) {
        return;
    }
    for (const std::string *part : {&parts->link, &parts->module, &parts->command}) {
        if (part->find('/') != std::string::npos || parts->command.empty()) {
            Fail("a part holds a level separator", topic);
        }
    }
    if (CommandTopic(kPrefix, parts->link, parts->module, verb, parts->command) != topic) {
        Fail("the parts do not make the topic again", topic);
    }
}

void CheckReplyTopic(const std::string &topic) {
    if (!InReplyNamespace(kPrefix + "/reply", topic)) {
        return;
    }
    for (char c : topic) {
        if (c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) {
            Fail("a response topic taken with a wildcard or control byte", topic);
        }
    }
    (void)Untakeable(topic, topic.size() + kMaxResultBytes, 1000);
}

void CheckPayload(const std::string &payload) {
    (void)ParsePayloadFields(payload);
    for (std::size_t k = 0; k < kCommandKinds; ++k) {
        auto kind = static_cast<CommandKind>(k);
        auto parsed = ParseCommand(kind, payload);
        if (const auto *args = std::get_if<CommandArgs>(&parsed)) {
            if (args->kind != kind || !std::isfinite(args->value)) {
                Fail("arguments of another command, or a value not finite", payload);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t nul = input.find('\0');
    std::string topic = input.substr(0, nul);
    std::string payload = nul == std::string::npos ? "" : input.substr(nul + 1);
    CheckTopic(topic, "set");
    CheckTopic(topic, "get");
    CheckReplyTopic(topic);
    CheckPayload(payload);
    return 0;
}
