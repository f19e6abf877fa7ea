#ifndef QOR_TOOLS_DEMO_H
#define QOR_TOOLS_DEMO_H

// Starts qor-sim on a pseudo-terminal, tours every command family through
// the library and stops the simulator again. Returns the exit code.
int runDemo(bool debug);

#endif
