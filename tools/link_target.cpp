// Link targets as qor opens them itself (with --link, or with --timeout).
#include <string>

#include "cli.h"

namespace qor::cli {

std::string DefaultTarget(int port, const char *environment_value) {
    if (environment_value != nullptr && *environment_value != '\0') {
        return environment_value;
    }
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

std::string WithTimeout(const std::string &target, int timeout_ms) {
    const size_t q = target.find('?');
    std::string base = target.substr(0, q);
    std::string kept;
    if (q != std::string::npos) {
        const std::string query = target.substr(q + 1);
        size_t pos = 0;
        while (pos <= query.size()) {
            size_t amp = query.find('&', pos);
            if (amp == std::string::npos) {
                amp = query.size();
            }
            const std::string item = query.substr(pos, amp - pos);
            if (!item.empty() && item.rfind("timeout_ms=", 0) != 0 && item != "timeout_ms") {
                kept += item + "&";
            }
            pos = amp + 1;
        }
    }
    return base + "?" + kept + "timeout_ms=" + std::to_string(timeout_ms);
}

}  // namespace qor::cli
