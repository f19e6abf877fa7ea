// The parts of qor that talk to the library, the link, the terminal and the
// environment: what the subcommand table's rows run, and what they share.
#ifndef QOR_TOOLS_RUN_H
#define QOR_TOOLS_RUN_H

#include <optional>
#include <string>

#include "cli.h"

namespace qor::cli {

// Each returns the exit code.
int RunCommand(const CommandLine &line);  // one library command (run_command.cpp)
int RunScan(const CommandLine &line);     // scan.cpp
int RunPoll(const CommandLine &line);     // poll.cpp
// Starts qor-sim on a pseudo-terminal, tours every command family through
// the library and stops the simulator again (demo.cpp). On Windows
// (demo_windows.cpp) it explains how to reach the simulator over TCP
// instead and returns kExitLinkFault.
int RunDemo(const CommandLine &line);

// "qor: message" on standard error.
void ReportError(const std::string &message);
// A line on standard output, flushed at once (poll's rows are read live).
void PrintLine(const std::string &line);
// Opens the port on the target the options name, with the time-out they
// name or else fallback_timeout_ms. Without --link and without a time-out
// nothing is opened: the link then opens the port's own default target on
// first use, exactly as for any other host program. False, after saying
// so, when the target cannot be opened.
bool PrepareLink(const Options &options, std::optional<int> fallback_timeout_ms);
// The library's two switches, from --debug and --checksum.
void ApplySwitches(const Options &options);

}  // namespace qor::cli

#endif
