// One library command, on each address given.
#include <algorithm>
#include <string>

#include "cli/cli.h"
#include "cli/run.h"
#include "common/message_text.h"
#include "qor_dll.h"

namespace qor::cli {

int RunCommand(const CommandLine &line) {
    const Options &o = line.options;
    const TraceSession trace(o.trace);
    std::vector<LinkInUse> links;
    int exit_code = kExitOk;
    if (!PrepareLinks(o, std::nullopt, links, exit_code)) {
        return exit_code;
    }
    ApplySwitches(o);
    // With several addresses each line names its module, as scan's do.
    const bool several = o.addresses.size() > 1;
    for (const int address : o.addresses) {
        const Outcome out = CallModule(line.invocation, links.front(), address, o.retries);
        if (out.status != QOR_STATUS_OK) {
            ReportError(DescribeFailure(FailureOf(out, line.invocation, links.front(), address)));
            exit_code = std::max(exit_code, ExitCodeFor(out.status));
            if (out.status == QOR_STATUS_LINK_FAULT && out.error != QOR_ERROR_REPLY_FIELD) {
                break;  // a lost link, or arguments no frame takes: the same for every address
            }
            continue;
        }
        const std::string text = FormatResult(line.invocation.row->result, out);
        PrintLine(several ? Escape(std::string(1, static_cast<char>(address))) + "  " + text
                          : text);
    }
    return exit_code;
}

}  // namespace qor::cli
