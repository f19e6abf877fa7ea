// POSIX side of the platform layer.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/library_state.h"
#include "engine/platform.h"

namespace qor {

namespace {

// Statically initialised: the locks exist before any code of the library
// runs, and need no heap and nothing to tear down at unload.
struct PortMutex {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};
PortMutex port_mutexes[kPortLockCount];

// Writes all of `size` bytes to standard error, retrying after signals. A
// failure is ignored: the echo is a diagnostic and must never stop a call.
void WriteToStandardError(const char *text, std::size_t size) {
    while (size > 0) {
        ssize_t written = write(STDERR_FILENO, text, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        text += written;
        size -= static_cast<std::size_t>(written);
    }
}

// The load-time entry: a constructor that cannot fail the load.
__attribute__((constructor)) void OnAttach() {
    AttachLibrary();
}

}  // namespace

void ShowMessageBox(const char *text) {
    // One write for text and newline, so that echoes from several processes
    // sharing the terminal do not interleave within a line. The texts are
    // frames and replies, far shorter than the line.
    char line[kFrameCapacity + kReplyCapacity + 2];
    std::size_t size = strnlen(text, sizeof line - 1);
    std::memcpy(line, text, size);
    line[size++] = '\n';
    // Errno belongs to the host: leave it as it was.
    int saved_errno = errno;
    WriteToStandardError(line, size);
    errno = saved_errno;
}

void LockPort(unsigned slot) {
    pthread_mutex_lock(&port_mutexes[slot].mutex);
}

void UnlockPort(unsigned slot) {
    pthread_mutex_unlock(&port_mutexes[slot].mutex);
}

}  // namespace qor
