// What qor.exe's main.cpp asks of POSIX signals, on the C runtime's signal():
// a handler for SIGINT (Ctrl-C in the console) that only sets a flag.
// Force-included into tools/main.cpp by win/windows.cmake.
#ifndef QOR_WIN_POSIX_SIGNALS_H
#define QOR_WIN_POSIX_SIGNALS_H

#include <signal.h>

struct sigaction {
    void (*sa_handler)(int);
    int sa_mask;
    int sa_flags;
};

inline int sigemptyset(int *set) {
    *set = 0;
    return 0;
}

inline int sigaction(int number, const struct sigaction *action, struct sigaction *) {
    return signal(number, action->sa_handler) == SIG_ERR ? -1 : 0;
}

#endif  // QOR_WIN_POSIX_SIGNALS_H
