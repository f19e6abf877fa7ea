// qor scan: every address asked for a reading, the ones that answer listed
// as they answer.
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "cli/run.h"
#include "common/option_scan.h"
#include "qor_dll.h"

namespace qor::cli {
namespace {

// A silent address costs one time-out; this keeps a whole scan to seconds.
constexpr int kScanTimeoutMs = 30;
constexpr int kFirstAddress = '!';
constexpr int kLastAddress = '~';
// "$" begins every frame: no module can have it as its address, and the
// library refuses it.
constexpr int kPromptAddress = '$';
constexpr int kAddressCount = kLastAddress - kFirstAddress;  // the range but "$"

// The place of `address` among the addresses asked, from 1.
int Place(int address) {
    return address - kFirstAddress + (address < kPromptAddress ? 1 : 0);
}

// On a terminal, one line on standard error that each address overwrites,
// so that a scan of a few seconds is not a silent one.
class Progress {
  public:
    explicit Progress(bool shown) : shown_(shown) {}
    ~Progress() { Clear(); }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void Show(int address, int found) {
        if (!shown_) {
            return;
        }
        std::fprintf(stderr, "\rscan: asking %c (%d of %d), %d answered ", address, Place(address),
                     kAddressCount, found);
        std::fflush(stderr);
        drawn_ = true;
    }
    // Before a line on standard output, which may share the terminal.
    void Clear() {
        if (drawn_) {
            std::fprintf(stderr, "\r%60s\r", "");
            std::fflush(stderr);
            drawn_ = false;
        }
    }

  private:
    bool shown_;
    bool drawn_ = false;
};

}  // namespace

int RunScan(const CommandLine &line) {
    const Options &o = line.options;
    const TraceSession trace(o.trace);
    std::vector<LinkInUse> links;
    int exit_code = kExitOk;
    if (!PrepareLinks(o, kScanTimeoutMs, links, exit_code)) {
        return exit_code;
    }
    ApplySwitches(o);
    Invocation rd;
    rd.row = FindCommand("rd");
    Progress progress(!o.trace && ErrorIsTerminal());
    int found = 0;
    for (int address = kFirstAddress; address <= kLastAddress; ++address) {
        if (address == kPromptAddress) {
            continue;
        }
        progress.Show(address, found);
        const Outcome out = CallModule(rd, links.front(), address, 0);
        if (out.status == QOR_STATUS_LINK_FAULT) {
            // Every further address would fail the same way.
            progress.Clear();
            ReportError(DescribeFailure(FailureOf(out, rd, links.front(), address)));
            return kExitLinkFault;
        }
        if (!ModuleAnswered(out.status, out.error)) {
            continue;
        }
        ++found;
        const std::string what = out.status == QOR_STATUS_OK
                                     ? FormatFixed2(out.value)
                                     : DescribeFailure(FailureOf(out, rd, links.front(), address));
        progress.Clear();
        PrintLine(std::string(1, static_cast<char>(address)) + "  " + what);
    }
    progress.Clear();
    if (found == 0) {
        ReportError("no module answered on " + links.front().Describe());
        return kExitModuleFault;
    }
    PrintLine(std::to_string(found) + (found == 1 ? " module answered" : " modules answered"));
    return kExitOk;
}

}  // namespace qor::cli
