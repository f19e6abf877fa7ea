// qor demo on Windows. The tour runs the simulator on a pseudo-terminal,
// which Windows does not have, so here it only says how to get the same
// simulator over TCP, which every other qor command reaches as it would a
// serial device server. The exit code is the one the demo's help gives for a
// simulator that cannot be started.
#include <cstdio>

#include "cli/cli.h"
#include "cli/run.h"

namespace qor::cli {

int RunDemo(const CommandLine &) {
    std::fputs(
        "qor: demo: the tour starts the simulator (qor-sim) on a pseudo-terminal, which\n"
        "Windows does not have. Start the simulator on a Linux or other POSIX machine\n"
        "instead, listening on TCP:\n"
        "  qor-sim --listen 0.0.0.0:4001\n"
        "and send commands to it from here, HOST being that machine's name or address:\n"
        "  qor --link socket://HOST:4001 rd\n"
        "  qor --link socket://HOST:4001 scan\n",
        stderr);
    return kExitLinkFault;
}

}  // namespace qor::cli
