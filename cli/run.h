// The parts of qor that talk to the library, the link, the terminal and the
// environment: what the subcommand table's rows run, and what they share.
#ifndef QOR_CLI_RUN_H
#define QOR_CLI_RUN_H

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace qor::cli {

// Each returns the exit code.
int RunCommand(const CommandLine &line);  // one library command (run_command.cpp)
int RunScan(const CommandLine &line);     // scan.cpp
int RunPoll(const CommandLine &line);     // poll.cpp
int RunPorts(const CommandLine &line);    // ports.cpp
// Starts qor-sim on a pseudo-terminal, tours every command family through
// the library and stops the simulator again (demo.cpp). On Windows
// (demo_windows.cpp) it explains how to reach the simulator over TCP
// instead and returns kExitLinkFault.
int RunDemo(const CommandLine &line);

// ---- the terminal (output.cpp) ----

// Standard output could not be written (a full disk, a closed descriptor):
// main reports it and exits with kExitOutput. A reader that went away
// (a broken pipe, `qor poll ... | head -2`) has seen what it wanted: main
// then stops quietly with kExitOk.
class OutputError : public std::runtime_error {
  public:
    explicit OutputError(const std::string &what, bool reader_gone = false)
        : std::runtime_error(what), reader_gone_(reader_gone) {}
    bool ReaderGone() const { return reader_gone_; }

  private:
    bool reader_gone_;
};

// "qor: message" on standard error.
void ReportError(const std::string &message);
// Text on standard output, flushed at once (poll's rows are read live);
// throws OutputError when it cannot be written. PrintLine adds the newline.
void PrintText(const std::string &text);
void PrintLine(const std::string &line);
// Run first. Puts /dev/null on a closed standard input or error, so that no
// port the link opens can take their descriptors; false, after saying so
// when it can, when standard output is closed. Always true on Windows.
bool GuardStandardStreams();
// Waits up to wait_ms for standard output to be closed by its reader (a
// pipe whose reading end is gone): true as soon as it is. A signal ends the
// wait early. On Windows it only waits.
bool OutputClosedWithin(int wait_ms);
// Whether standard error is a terminal (scan's progress line).
bool ErrorIsTerminal();

// ---- links (link_use.cpp) ----

// A port as this run opened it.
struct LinkInUse {
    int port = 1;
    std::string target;  // as opened, timeout_ms included when qor set it
    int source = 0;      // QOR_TARGET_...: where the target came from
    std::string Describe() const { return DescribeLink(port, target, source); }
};

// Opens the links the options name: each --link on ports N, N+1, ... (N is
// --port), or without --link port N on its own target (QOR_COMM_PORT<N> or
// the default device, which QOR_PortTarget tells), with the time-out of
// --timeout or else fallback_timeout_ms. False, after reporting why, with
// the exit code in exit_code: kExitUsage for a malformed target,
// kExitLinkFault for one that cannot be opened.
bool PrepareLinks(const Options &options, std::optional<int> fallback_timeout_ms,
                  std::vector<LinkInUse> &links, int &exit_code);
// The checksum switch from --checksum, and the library's own echo off:
// --trace shows the exchanges instead, escaped.
void ApplySwitches(const Options &options);
// One library call with its retries: again after no reply or a frame not
// written, at most `retries` more times, for commands safe to repeat. The
// outcome carries the module's last reply, from the trace.
Outcome CallModule(const Invocation &invocation, const LinkInUse &link, int address, int retries);
// What a failed outcome means, with the link's failure text.
Failure FailureOf(const Outcome &out, const Invocation &invocation, const LinkInUse &link,
                  int address);

// ---- the byte link's trace (trace_session.cpp) ----

// Installs the trace callback for the run, which keeps each port's last
// reply (the module's error text) and, with print, writes every event on
// standard error as TraceLine() words it. Removed again on destruction.
class TraceSession {
  public:
    explicit TraceSession(bool print);
    ~TraceSession();
    TraceSession(const TraceSession &) = delete;
    TraceSession &operator=(const TraceSession &) = delete;
};
// The reply text read on the port since its last frame was written, from
// its first '*' or '?' on and without its CR; "" when none.
std::string LastReply(int port);
// Why the byte link refused a reply on the port since its last frame (the
// REFUSED event's text); "" when it refused none.
std::string LastRefusal(int port);

}  // namespace qor::cli

#endif
