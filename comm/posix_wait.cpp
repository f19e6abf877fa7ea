#include "posix_wait.h"

#include <errno.h>
#include <poll.h>
#include <time.h>

namespace qor_comm {

std::int64_t MonotonicMs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int WaitUntil(int fd, short events, std::int64_t deadline_ms) {
    for (;;) {
        std::int64_t left = deadline_ms - MonotonicMs();
        if (left < 0) {
            left = 0;
        }
        // poll() rounds up to whole milliseconds, so a wait of `left` never
        // ends before the deadline.
        struct pollfd entry {};
        entry.fd = fd;
        entry.events = events;
        int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) {
            return entry.revents;
        }
        if (ready == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

}  // namespace qor_comm
