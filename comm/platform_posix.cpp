// The platform layer on POSIX systems.
#include <errno.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

#include <cstdio>
#include <new>

#include "comm/platform.h"

namespace qor::comm {

namespace {

// strerror_r comes in two shapes, the GNU one returning the text and the
// XSI one filling the buffer; whichever the C library has, one of these
// takes its result.
[[maybe_unused]] const char *PickText(int result, const char *buffer) {
    return result == 0 ? buffer : "unknown error";
}

[[maybe_unused]] const char *PickText(const char *result, const char *) {
    return result;
}

struct ThreadStart {
    void (*function)(void *);
    void *argument;
};

void *RunThread(void *start) {
    ThreadStart run = *static_cast<ThreadStart *>(start);
    delete static_cast<ThreadStart *>(start);
    run.function(run.argument);
    return nullptr;
}

}  // namespace

std::int64_t MonotonicNs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t MonotonicMs() {
    return MonotonicNs() / 1000000;
}

int CodeForReason(Reason reason) {
    switch (reason) {
        case Reason::kNoSlot:
            return EMFILE;
        case Reason::kNoDevice:
            return ENOENT;
        case Reason::kPermission:
            return EACCES;
        case Reason::kBusy:
            return EBUSY;
        case Reason::kNotSerial:
        case Reason::kRs485Unsupported:
        case Reason::kLowLatencyUnsupported:
            return ENOTTY;
        case Reason::kRefused:
            return ECONNREFUSED;
        case Reason::kHostUnknown:
        case Reason::kLookupFailed:
        case Reason::kUnreachable:
            return EHOSTUNREACH;
        case Reason::kLookupTimedOut:
        case Reason::kLookupBacklog:
        case Reason::kConnectTimedOut:
        case Reason::kWriteStalled:
        case Reason::kOpenWriteStalled:
        case Reason::kSettingIgnored:
        case Reason::kComPortSilent:
            return ETIMEDOUT;
        case Reason::kClosedByPeer:
            return ECONNRESET;
        case Reason::kNotAvailable:
            return ENOTSUP;
        case Reason::kComPortRefused:
            return EPROTONOSUPPORT;
        case Reason::kSystem:
            return EIO;
        default:
            return EINVAL;
    }
}

void SetSystemCode(int code) {
    errno = code;
}

void SystemCodeText(int code, char *text, std::size_t capacity) {
    char buffer[200] = {};
    std::snprintf(text, capacity, "%s", PickText(strerror_r(code, buffer, sizeof buffer), buffer));
}

void LookupCodeText(int code, char *text, std::size_t capacity) {
    // glibc's and musl's texts are constants, safe to share between threads.
    std::snprintf(text, capacity, "%s", gai_strerror(code));
}

// The library itself stays loaded while such a thread runs: it is linked
// with -z nodelete (comm/CMakeLists.txt).
bool StartDetachedThread(void (*function)(void *), void *argument) {
    auto *start = new (std::nothrow) ThreadStart{function, argument};
    if (start == nullptr) {
        return false;
    }
    // The new thread inherits the signal mask; with everything blocked, no
    // signal of the host's is ever delivered on it.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int failed = pthread_create(&thread, &attributes, RunThread, start);
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed != 0) {
        delete start;
        return false;
    }
    return true;
}

bool IsPseudoTerminal(std::intptr_t link) {
    struct stat info {};
    if (fstat(static_cast<int>(link), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    // Linux: the slaves of /dev/ptmx (136..143) and the old BSD ones (3).
    const unsigned kind = major(info.st_rdev);
    return (kind >= 136 && kind <= 143) || kind == 3;
}

bool DefaultDevice(int port, char *path, std::size_t capacity) {
    if (port < 1) {
        return false;
    }
    int length = std::snprintf(path, capacity, "/dev/ttyS%d", port - 1);
    return length > 0 && static_cast<std::size_t>(length) < capacity;
}

}  // namespace qor::comm
