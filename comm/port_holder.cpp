#include "comm/port_holder.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comm/failure.h"

namespace qor::comm {

namespace {

// Reads a whole small file of /proc or a lock file into `text`, cut at
// its capacity; false when it cannot be read.
bool ReadSmallFile(const char *path, char *text, std::size_t capacity) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::size_t used = 0;
    while (used + 1 < capacity) {
        ssize_t got = read(fd, text + used, capacity - 1 - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        used += static_cast<std::size_t>(got);
    }
    close(fd);
    text[used] = '\0';
    return used > 0;
}

// One line of /proc/locks: "1: FLOCK  ADVISORY  WRITE 812 00:19:1234 0 EOF".
// Lines of waiting locks ("1: -> FLOCK ...") name no holder.
pid_t HolderOnLine(const char *line, unsigned major_wanted, unsigned minor_wanted,
                   unsigned long inode_wanted) {
    char kind[16] = {};
    int pid = 0;
    unsigned major_found = 0;
    unsigned minor_found = 0;
    unsigned long inode_found = 0;
    if (std::sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", kind, &pid, &major_found, &minor_found,
                    &inode_found) != 5) {
        return 0;
    }
    bool same = std::strcmp(kind, "FLOCK") == 0 && major_found == major_wanted &&
                minor_found == minor_wanted && inode_found == inode_wanted;
    return same && pid > 0 ? pid : 0;
}

// Calls `each` on every line of the file at `path`, read in blocks, until it
// returns non-zero; returns that.
template <typename Each>
pid_t ScanLines(const char *path, Each each) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    char block[4096];
    std::size_t kept = 0;
    pid_t found = 0;
    while (found == 0) {
        ssize_t got = read(fd, block + kept, sizeof block - 1 - kept);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        std::size_t length = kept + static_cast<std::size_t>(got);
        block[length] = '\0';
        char *line = block;
        for (char *end = std::strchr(line, '\n'); end != nullptr && found == 0;
             end = std::strchr(line, '\n')) {
            *end = '\0';
            found = each(line);
            line = end + 1;
        }
        // A line longer than the block is dropped rather than misread.
        kept = static_cast<std::size_t>(block + length - line);
        kept = kept < sizeof block / 2 ? kept : 0;
        std::memmove(block, line, kept);
    }
    close(fd);
    return found;
}

bool Alive(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

}  // namespace

pid_t FlockHolder(dev_t device, ino_t inode) {
    unsigned device_major = major(device);
    unsigned device_minor = minor(device);
    auto inode_number = static_cast<unsigned long>(inode);
    return ScanLines("/proc/locks", [&](const char *line) {
        return HolderOnLine(line, device_major, device_minor, inode_number);
    });
}

pid_t UucpHolder(const char *folder, const char *path) {
    const char *slash = std::strrchr(path, '/');
    char lock_path[512];
    FormatText(lock_path, sizeof lock_path, "%s/LCK..%s", folder,
               slash != nullptr ? slash + 1 : path);
    // The PID in ten characters of ASCII (or, from old programs, a binary
    // int, which reads as no number here and is ignored).
    char text[64];
    if (!ReadSmallFile(lock_path, text, sizeof text)) {
        return 0;
    }
    char *end = nullptr;
    long pid = std::strtol(text, &end, 10);
    bool number = end != text && pid > 0 && pid < 0x7fffffff;
    auto holder = static_cast<pid_t>(number ? pid : 0);
    return holder != getpid() && Alive(holder) ? holder : 0;
}

void DescribeHolder(pid_t pid, char *text, std::size_t capacity) {
    if (pid <= 0) {
        FormatText(text, capacity, "another program");
        return;
    }
    char comm_path[64];
    FormatText(comm_path, sizeof comm_path, "/proc/%d/comm", static_cast<int>(pid));
    char name[64];
    if (!ReadSmallFile(comm_path, name, sizeof name)) {
        FormatText(text, capacity, "PID %d", static_cast<int>(pid));
        return;
    }
    name[std::strcspn(name, "\n")] = '\0';
    FormatText(text, capacity, "%s (PID %d)", name, static_cast<int>(pid));
}

}  // namespace qor::comm
