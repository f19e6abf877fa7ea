// qor: one library call per run, or one of the subcommands (scan, poll,
// ports, demo, help). The command line is read by command_line.cpp; the
// tables say what each word does.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/run.h"

namespace {

using qor::cli::Action;

int Run(const qor::cli::CommandLine &line) {
    switch (line.action) {
        case Action::kHelp:
            qor::cli::PrintText(line.help_topic.empty() ? qor::cli::OverviewHelp()
                                                        : qor::cli::CommandHelp(line.help_topic));
            return qor::cli::kExitOk;
        case Action::kVersion:
            qor::cli::PrintLine(qor::cli::VersionText());
            return qor::cli::kExitOk;
        case Action::kCommand:
            return qor::cli::RunCommand(line);
        case Action::kSubcommand:
            return line.subcommand->run(line);
    }
    return qor::cli::kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    qor::cli::CommandLine line;
    std::string error;
    if (!qor::cli::ParseCommandLine(args, line, error)) {
        qor::cli::ReportError(error);
        std::fprintf(stderr, "%s\n", qor::cli::UsageHint().c_str());
        return qor::cli::kExitUsage;
    }
#ifndef _WIN32
    // A reader that goes away shows as EPIPE on the next write, which ends
    // the program quietly (main's catch), instead of a signal that kills it
    // with no chance to close its links.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (!qor::cli::GuardStandardStreams()) {
        return qor::cli::kExitOutput;
    }
    try {
        return Run(line);
    } catch (const qor::cli::OutputError &e) {
        if (e.ReaderGone()) {
            return qor::cli::kExitOk;
        }
        qor::cli::ReportError(e.what());
        return qor::cli::kExitOutput;
    }
}
