// qor demo on Windows: the tour runs the simulator on a pseudo-terminal,
// which Windows does not have. The rest of qor works against a simulator
// (or a module) reached some other way, which is what this says.
#include <cstdio>

#include "cli.h"
#include "demo.h"

int runDemo(bool) {
    std::fputs(
        "qor: demo: needs qor-sim on a pseudo-terminal, which this system does not have.\n"
        "Run qor-sim --listen HOST:PORT on a POSIX machine and use\n"
        "  qor --link socket://HOST:PORT rd\n",
        stderr);
    return qor_cli::kExitLinkFault;
}
