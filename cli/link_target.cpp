// Link targets as qor opens and names them. Which target a port uses is the
// byte link's rule (QOR_PortTarget); this only edits and describes texts.
#include <string>

#include "cli/cli.h"
#include "common/message_text.h"
#include "common/option_scan.h"
#include "qor_comm.h"

namespace qor::cli {
namespace {

// The "name=value" items after the target's '?', in order.
std::vector<std::string> OptionItems(const std::string &target) {
    std::vector<std::string> items;
    const size_t q = target.find('?');
    if (q == std::string::npos) {
        return items;
    }
    const std::string query = target.substr(q + 1);
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        if (amp == std::string::npos) {
            amp = query.size();
        }
        items.push_back(query.substr(pos, amp - pos));
        pos = amp + 1;
    }
    return items;
}

}  // namespace

std::string WithTimeout(const std::string &target, int timeout_ms) {
    std::string kept;
    for (const std::string &item : OptionItems(target)) {
        if (!item.empty() && item.rfind("timeout_ms=", 0) != 0 && item != "timeout_ms") {
            kept += item + "&";
        }
    }
    return target.substr(0, target.find('?')) + "?" + kept +
           "timeout_ms=" + std::to_string(timeout_ms);
}

int TimeoutOf(const std::string &target) {
    int timeout = QOR_DEFAULT_TIMEOUT_MS;
    for (const std::string &item : OptionItems(target)) {
        long n = 0;
        if (item.rfind("timeout_ms=", 0) == 0 && ParseInteger(item.substr(11), 1, 60000, n)) {
            timeout = static_cast<int>(n);
        }
    }
    return timeout;
}

std::string DescribeLink(int port, const std::string &target, int source) {
    std::string text = "port " + std::to_string(port) + " (" + Escape(target);
    if (source == QOR_TARGET_DEVICE) {
        text += ", default";
    } else if (source == QOR_TARGET_ENVIRONMENT) {
        text += ", default from QOR_COMM_PORT" + std::to_string(port);
    }
    return text + ")";
}

}  // namespace qor::cli
