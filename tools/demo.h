#ifndef QOR_TOOLS_DEMO_H
#define QOR_TOOLS_DEMO_H

// Starts qor-sim on a pseudo-terminal, tours every command family through
// the library and stops the simulator again. Returns the exit code. On
// Windows (demo_windows.cpp) it explains how to reach the simulator over TCP
// instead and returns kExitLinkFault.
int runDemo(bool debug);

#endif
