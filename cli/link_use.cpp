// Opening the links a run uses, and one library call on them with its
// retries and the words for its failure.
#include <cerrno>
#include <cstdio>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "cli/cli.h"
#include "cli/run.h"
#include "common/message_text.h"
#include "qor_comm.h"
#include "qor_dll.h"

namespace qor::cli {
namespace {

std::string PortErrorText(int port) {
    std::string text(256, '\0');
    int length = QOR_PortError(port, text.data(), static_cast<int>(text.size()));
    if (length >= static_cast<int>(text.size())) {
        text.assign(static_cast<size_t>(length) + 1, '\0');
        length = QOR_PortError(port, text.data(), static_cast<int>(text.size()));
    }
    text.resize(static_cast<size_t>(length < 0 ? 0 : length));
    return text;
}

// Right after a failed QOR_OpenPort: the target itself was refused.
bool TargetWasMalformed() {
#ifdef _WIN32
    return GetLastError() == ERROR_INVALID_PARAMETER;
#else
    return errno == EINVAL;
#endif
}

// The target the port takes without --link: the byte link's own rule.
LinkInUse DefaultLink(int port) {
    char text[QOR_TARGET_TEXT_SIZE] = "";
    LinkInUse link;
    link.port = port;
    link.source = QOR_PortTarget(port, text, static_cast<int>(sizeof text));
    link.target = text;
    return link;
}

int ReportOpenFailure(const LinkInUse &link, bool refused_as_invalid) {
    const std::string reason = PortErrorText(link.port);
    // EINVAL alone could come from a device that refuses its settings; the
    // byte link words a malformed target as such.
    if (refused_as_invalid && reason.rfind("bad target", 0) == 0) {
        const std::string from = link.source == QOR_TARGET_ENVIRONMENT
                                     ? " (from QOR_COMM_PORT" + std::to_string(link.port) + ")"
                                     : "";
        ReportError(Escape(reason) + from);
        std::fprintf(stderr, "%s\n", UsageHint().c_str());
        return kExitUsage;
    }
    ReportError("link fault on " + link.Describe() + ": " +
                (reason.empty() ? std::string("cannot open it") : Escape(reason)));
    if (link.source != QOR_TARGET_OPENED) {
        ReportError(
            "no --link was given: name the module's link with --link TARGET ('qor ports' "
            "lists the serial ports) or set QOR_COMM_PORT" +
            std::to_string(link.port));
    }
    return kExitLinkFault;
}

bool OpenLink(LinkInUse &link, std::optional<int> timeout_ms, int &exit_code) {
    if (link.source == QOR_TARGET_NONE) {
        ReportError("port " + std::to_string(link.port) + " has no target: use --link TARGET");
        exit_code = kExitUsage;
        return false;
    }
    if (timeout_ms) {
        link.target = WithTimeout(link.target, *timeout_ms);
    }
    errno = 0;
    if (QOR_OpenPort(link.port, link.target.c_str()) != 0) {
        return true;
    }
    exit_code = ReportOpenFailure(link, TargetWasMalformed());
    return false;
}

bool WorthRetrying(const Outcome &out) {
    return (out.status == QOR_STATUS_REPLY_FAULT && out.error == QOR_ERROR_NO_REPLY) ||
           (out.status == QOR_STATUS_LINK_FAULT && out.error == QOR_ERROR_NOT_WRITTEN);
}

}  // namespace

bool PrepareLinks(const Options &options, std::optional<int> fallback_timeout_ms,
                  std::vector<LinkInUse> &links, int &exit_code) {
    const std::optional<int> timeout =
        options.timeout_ms ? options.timeout_ms : fallback_timeout_ms;
    links.clear();
    if (options.links.empty()) {
        links.push_back(DefaultLink(options.port));
    }
    for (size_t i = 0; i < options.links.size(); ++i) {
        LinkInUse link;
        link.port = options.port + static_cast<int>(i);
        link.target = options.links[i];
        link.source = QOR_TARGET_OPENED;
        links.push_back(link);
    }
    for (LinkInUse &link : links) {
        if (!OpenLink(link, timeout, exit_code)) {
            return false;
        }
    }
    return true;
}

void ApplySwitches(const Options &options) {
    QOR_EnableDebug(0);
    QOR_EnableCmdChecksum(options.checksum ? 1 : 0);
}

Outcome CallModule(const Invocation &invocation, const LinkInUse &link, int address, int retries) {
    const int tries = invocation.row->repeat_hazard == nullptr ? 1 + retries : 1;
    Outcome out;
    for (int attempt = 1; attempt <= tries; ++attempt) {
        out = Outcome{};
        invocation.row->call(link.port, address, invocation, out);
        out.reply = LastReply(link.port);
        out.refused = LastRefusal(link.port);
        out.attempts = attempt;
        if (!WorthRetrying(out)) {
            break;
        }
    }
    return out;
}

Failure FailureOf(const Outcome &out, const Invocation &invocation, const LinkInUse &link,
                  int address) {
    Failure f;
    f.status = out.status;
    f.error = out.error;
    f.address = address;
    f.link = link.Describe();
    f.timeout_ms = TimeoutOf(link.target);
    f.reply = out.reply;
    f.refused = out.status == QOR_STATUS_REPLY_FAULT && out.error == QOR_ERROR_NO_REPLY
                    ? out.refused
                    : std::string();
    f.attempts = out.attempts > 1 ? out.attempts : 1;
    if (out.status == QOR_STATUS_LINK_FAULT && out.error == QOR_ERROR_NOT_WRITTEN) {
        f.port_error = PortErrorText(link.port);
    }
    const std::vector<ArgKind> &args = invocation.row->args;
    if (!args.empty() && args.front() == ArgKind::kDiCount && !invocation.ints.empty()) {
        f.di_count = invocation.ints.front();
    }
    return f;
}

}  // namespace qor::cli
