// The JSON topics' layout, in one place: every topic the gateway publishes
// or takes commands on is built, or taken apart, here.
//   PREFIX/LINK/MODULE/QUERY               readings (QoS 1)
//   PREFIX/LINK/MODULE/availability        "online" / "offline" (retained)
//   PREFIX/LINK/MODULE/counters            counters (retained)
//   PREFIX/LINK/MODULE/set/COMMAND         commands in
//   PREFIX/LINK/MODULE/set/POLL            "ON" / "OFF" for the bit of an "rb" poll (sb, cb)
//   PREFIX/LINK/MODULE/set/COMMAND/result  their results (without a response topic)
//   PREFIX/LINK/MODULE/get/POLL            reads on demand in
//   PREFIX/LINK/MODULE/get/POLL/result     their readings (without a response topic)
//   REPLY_PREFIX/...                       results to a response topic (REPLY_PREFIX:
//                                          reply_prefix, default PREFIX/reply)
//   PREFIX/gateway/CLIENT_ID/status        "online" / "offline" (retained, last will)
//   PREFIX/gateway/CLIENT_ID/dropped       readings dropped from a full queue (retained)
#ifndef QOR_GATEWAY_MQTT_TOPICS_H
#define QOR_GATEWAY_MQTT_TOPICS_H

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

namespace qor::gateway {

inline std::string ModuleTopic(const std::string &prefix, const std::string &link,
                               const std::string &module) {
    return prefix + "/" + link + "/" + module;
}

inline std::string ReadingTopic(const std::string &prefix, const std::string &link,
                                const std::string &module, const std::string &poll) {
    return ModuleTopic(prefix, link, module) + "/" + poll;
}

inline std::string AvailabilityTopic(const std::string &prefix, const std::string &link,
                                     const std::string &module) {
    return ModuleTopic(prefix, link, module) + "/availability";
}

inline std::string CountersTopic(const std::string &prefix, const std::string &link,
                                 const std::string &module) {
    return ModuleTopic(prefix, link, module) + "/counters";
}

// verb: "set" (name a command, or a switch's poll) or "get" (name a poll).
inline std::string CommandTopic(const std::string &prefix, const std::string &link,
                                const std::string &module, const char *verb,
                                const std::string &name) {
    return ModuleTopic(prefix, link, module) + "/" + verb + "/" + name;
}

inline std::string ResultTopic(const std::string &prefix, const std::string &link,
                               const std::string &module, const char *verb,
                               const std::string &name) {
    return CommandTopic(prefix, link, module, verb, name) + "/result";
}

inline std::string CommandFilter(const std::string &prefix, const std::string &link) {
    return prefix + "/" + link + "/+/set/+";
}

inline std::string GetFilter(const std::string &prefix, const std::string &link) {
    return prefix + "/" + link + "/+/get/+";
}

inline std::string GatewayTopic(const std::string &prefix, const std::string &client_id,
                                const char *leaf) {
    return prefix + "/gateway/" + client_id + "/" + leaf;
}

// A response topic results may go to: below the reply namespace (the
// configuration keeps it apart from every other topic of the gateway), a
// valid topic name without wildcards or control characters.
inline bool InReplyNamespace(const std::string &reply_prefix, const std::string &topic) {
    if (topic.size() <= reply_prefix.size() + 1 || topic.size() > 1024 ||
        topic.compare(0, reply_prefix.size() + 1, reply_prefix + "/") != 0) {
        return false;
    }
    for (char c : topic) {
        if (c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

// The most levels a topic may have: mosquitto ends the connection of a
// client that publishes on more (a "Protocol Error"), and a result resent
// after every reconnection would keep the gateway off the broker for good.
constexpr std::size_t kMaxTopicLevels = 200;
// The longest topic MQTT can carry (its length is two bytes).
constexpr std::size_t kMaxTopicBytes = 65535;
// What a PUBLISH adds to its topic, payload and correlation data: the fixed
// header, the topic's length, the packet id and the properties' framing.
constexpr std::size_t kPublishOverhead = 16;
// The most a result's payload takes (its reason quotes 200 bytes at most).
constexpr std::size_t kMaxResultBytes = 2048;

// Why a broker could not take a message of `bytes` (topic, payload and
// correlation data) on topic, or empty when it can. max_packet: the
// largest packet the broker said in its CONNACK it takes, 0 when it said
// nothing.
inline std::string Untakeable(const std::string &topic, std::size_t bytes,
                              std::uint32_t max_packet) {
    std::size_t levels = 1 + static_cast<std::size_t>(std::count(topic.begin(), topic.end(), '/'));
    if (levels > kMaxTopicLevels) {
        return "the topic has " + std::to_string(levels) + " levels, more than the " +
               std::to_string(kMaxTopicLevels) + " a broker takes";
    }
    if (topic.size() > kMaxTopicBytes) {
        return "the topic has " + std::to_string(topic.size()) + " bytes, more than " +
               std::to_string(kMaxTopicBytes);
    }
    if (max_packet != 0 && bytes + kPublishOverhead > max_packet) {
        return "the message would take " + std::to_string(bytes + kPublishOverhead) +
               " bytes, more than the broker's maximum packet size of " +
               std::to_string(max_packet);
    }
    return "";
}

struct CommandTopicParts {
    std::string link;
    std::string module;
    std::string command;
};

// Splits PREFIX/LINK/MODULE/set/COMMAND (verb "set"; "get" for
// PREFIX/LINK/MODULE/get/POLL); empty for any other topic.
inline std::optional<CommandTopicParts> SplitCommandTopic(const std::string &prefix,
                                                          const std::string &topic,
                                                          const char *verb = "set") {
    if (topic.compare(0, prefix.size() + 1, prefix + "/") != 0) {
        return std::nullopt;
    }
    std::string rest = topic.substr(prefix.size() + 1);
    std::size_t a = rest.find('/');
    std::size_t b = a == std::string::npos ? a : rest.find('/', a + 1);
    if (b == std::string::npos || rest.compare(b, 5, "/" + std::string(verb) + "/") != 0) {
        return std::nullopt;
    }
    std::string command = rest.substr(b + 5);
    if (command.empty() || command.find('/') != std::string::npos) {
        return std::nullopt;
    }
    return CommandTopicParts{rest.substr(0, a), rest.substr(a + 1, b - a - 1), command};
}

}  // namespace qor::gateway

#endif
