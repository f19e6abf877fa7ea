// The topic layout, in one place:
//   PREFIX/LINK/MODULE/QUERY               readings (QoS 1)
//   PREFIX/LINK/MODULE/availability        "online" / "offline" (retained)
//   PREFIX/LINK/MODULE/counters            counters (retained)
//   PREFIX/LINK/MODULE/set/COMMAND         commands in
//   PREFIX/LINK/MODULE/set/COMMAND/result  their results (without a response topic)
//   PREFIX/gateway/CLIENT_ID/status        "online" / "offline" (retained, last will)
//   PREFIX/gateway/CLIENT_ID/dropped       readings dropped from a full queue (retained)
#ifndef QOR_GATEWAY_TOPICS_H
#define QOR_GATEWAY_TOPICS_H

#include <optional>
#include <string>

namespace qor::gateway {

inline std::string ModuleTopic(const std::string &prefix, const std::string &link,
                               const std::string &module) {
    return prefix + "/" + link + "/" + module;
}

inline std::string CommandFilter(const std::string &prefix, const std::string &link) {
    return prefix + "/" + link + "/+/set/+";
}

inline std::string GatewayTopic(const std::string &prefix, const std::string &client_id,
                                const char *leaf) {
    return prefix + "/gateway/" + client_id + "/" + leaf;
}

struct CommandTopic {
    std::string link;
    std::string module;
    std::string command;
};

// Splits PREFIX/LINK/MODULE/set/COMMAND; empty for any other topic.
inline std::optional<CommandTopic> SplitCommandTopic(const std::string &prefix,
                                                     const std::string &topic) {
    if (topic.compare(0, prefix.size() + 1, prefix + "/") != 0) {
        return std::nullopt;
    }
    std::string rest = topic.substr(prefix.size() + 1);
    std::size_t a = rest.find('/');
    std::size_t b = a == std::string::npos ? a : rest.find('/', a + 1);
    if (b == std::string::npos || rest.compare(b, 5, "/set/") != 0) {
        return std::nullopt;
    }
    std::string command = rest.substr(b + 5);
    if (command.empty() || command.find('/') != std::string::npos) {
        return std::nullopt;
    }
    return CommandTopic{rest.substr(0, a), rest.substr(a + 1, b - a - 1), command};
}

}  // namespace qor::gateway

#endif
