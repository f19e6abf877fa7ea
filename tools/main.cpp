// qor: one library call per run, or one of the subcommands (scan, poll,
// demo, help). The command line is read by command_line.cpp; the tables
// say what each word does.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "run.h"

using qor::cli::Action;

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    qor::cli::CommandLine line;
    std::string error;
    if (!qor::cli::ParseCommandLine(args, line, error)) {
        qor::cli::ReportError(error);
        std::fprintf(stderr, "%s\n", qor::cli::UsageHint().c_str());
        return qor::cli::kExitUsage;
    }
    switch (line.action) {
        case Action::kHelp:
            std::fputs((line.help_topic.empty() ? qor::cli::OverviewHelp()
                                                : qor::cli::CommandHelp(line.help_topic))
                           .c_str(),
                       stdout);
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
