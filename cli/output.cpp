// Standard output and error. Every line goes out flushed and checked: a
// full disk or a closed descriptor ends qor with a message instead of
// passing unnoticed, a pipe whose reader has gone ends it quietly.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include "cli/run.h"

namespace qor::cli {

void ReportError(const std::string &message) {
    std::fprintf(stderr, "qor: %s\n", message.c_str());
    std::fflush(stderr);
}

void PrintText(const std::string &text) {
    errno = 0;
    const bool written =
        std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
    if (!written) {
        const int code = errno;
        // What could not go out must not go out later, at exit, either.
        std::clearerr(stdout);
        throw OutputError(std::string("cannot write to standard output: ") +
                              (code != 0 ? std::strerror(code) : "write failed"),
                          code == EPIPE);
    }
}

void PrintLine(const std::string &line) {
    PrintText(line + "\n");
}

#ifdef _WIN32
bool GuardStandardStreams() {
    return true;
}

bool OutputClosedWithin(int wait_ms) {
    ::Sleep(static_cast<unsigned long>(wait_ms));
    return false;
}

bool ErrorIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}
#else
bool GuardStandardStreams() {
    for (const int fd : {STDIN_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open() returns the lowest free descriptor: this one.
            const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd) {
                close(null);
            }
        }
    }
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF) {
        ReportError("standard output is closed: nothing was sent");
        return false;
    }
    return true;
}

bool OutputClosedWithin(int wait_ms) {
    // No events asked for: poll() still reports POLLERR on a pipe whose
    // reader has gone (and POLLHUP on a hung-up terminal), and nothing on a
    // file, so this only waits unless the reader is gone.
    pollfd out{STDOUT_FILENO, 0, 0};
    const int n = ::poll(&out, 1, wait_ms);
    return n > 0 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

bool ErrorIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}
#endif

}  // namespace qor::cli
