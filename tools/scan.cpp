// qor scan: every address asked for a reading, the ones that answer listed.
#include <string>

#include "cli.h"
#include "run.h"

namespace qor::cli {
namespace {

// A silent address costs one time-out; this keeps a whole scan to seconds.
constexpr int kScanTimeoutMs = 30;

}  // namespace

int RunScan(const CommandLine &line) {
    const Options &o = line.options;
    if (!PrepareLink(o, kScanTimeoutMs)) {
        return kExitLinkFault;
    }
    ApplySwitches(o);
    const CommandRow *rd = FindCommand("rd");
    Invocation invocation;
    invocation.row = rd;
    int found = 0;
    for (int address = '!'; address <= '~'; ++address) {
        Outcome out;
        rd->call(o.port, address, invocation, out);
        if (out.status == 200) {
            // Every further address would fail the same way.
            ReportError(DescribeFailure(out.status, out.error));
            return kExitLinkFault;
        }
        if (!ModuleAnswered(out.status, out.error)) {
            continue;
        }
        ++found;
        const std::string what =
            out.status == 0 ? FormatFixed2(out.value) : DescribeFailure(out.status, out.error);
        PrintLine(std::string(1, static_cast<char>(address)) + "  " + what);
    }
    if (found == 0) {
        ReportError("no module answered on port " + std::to_string(o.port));
        return kExitModuleFault;
    }
    PrintLine(std::to_string(found) + (found == 1 ? " module answered" : " modules answered"));
    return kExitOk;
}

}  // namespace qor::cli
