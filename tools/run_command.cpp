// One library command, and the link set-up every subcommand shares.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli.h"
#include "qor_comm.h"
#include "qor_dll.h"
#include "run.h"

namespace qor::cli {

void ReportError(const std::string &message) {
    std::fprintf(stderr, "qor: %s\n", message.c_str());
}

void PrintLine(const std::string &line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool PrepareLink(const Options &options, std::optional<int> fallback_timeout_ms) {
    const std::optional<int> timeout =
        options.timeout_ms ? options.timeout_ms : fallback_timeout_ms;
    std::string target;
    if (options.link) {
        target = timeout ? WithTimeout(*options.link, *timeout) : *options.link;
    } else if (timeout) {
        const std::string variable = "QOR_COMM_PORT" + std::to_string(options.port);
        target = WithTimeout(DefaultTarget(options.port, std::getenv(variable.c_str())), *timeout);
    } else {
        return true;
    }
    if (!QOR_OpenPort(options.port, target.c_str())) {
        ReportError("link fault: cannot open port " + std::to_string(options.port) + " on '" +
                    target + "'");
        return false;
    }
    return true;
}

void ApplySwitches(const Options &options) {
    QOR_EnableDebug(options.debug ? 1 : 0);
    QOR_EnableCmdChecksum(options.checksum ? 1 : 0);
}

int RunCommand(const CommandLine &line) {
    const Options &o = line.options;
    if (!PrepareLink(o, std::nullopt)) {
        return kExitLinkFault;
    }
    ApplySwitches(o);
    Outcome out;
    line.invocation.row->call(o.port, o.address, line.invocation, out);
    if (out.status != 0) {
        ReportError(DescribeFailure(out.status, out.error));
        return ExitCodeFor(out.status);
    }
    PrintLine(FormatResult(line.invocation.row->result, out));
    return kExitOk;
}

}  // namespace qor::cli
