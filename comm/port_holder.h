// Who holds a serial device another program has locked: the process behind
// an flock(2) lock on it, as /proc/locks lists it, or behind a UUCP lock
// file (/var/lock/LCK..NAME), named by its command (/proc/PID/comm). Used
// only to word a refusal, so finding nobody is no error.
#ifndef QOR_COMM_PORT_HOLDER_H
#define QOR_COMM_PORT_HOLDER_H

#include <sys/types.h>

#include <cstddef>

namespace qor::comm {

// Where UUCP lock files are kept (/var/lock is a link to /run/lock on
// Debian); the tests point it elsewhere.
constexpr const char *kUucpLockFolder = "/var/lock";

// The process that holds an flock(2) lock on the file of this device and
// inode; 0 when none is listed.
pid_t FlockHolder(dev_t device, ino_t inode);

// The live process a UUCP lock file names for the device at `path`
// ("LCK..ttyUSB0" in `folder`), other than this one; 0 when there is no
// such file or its process is gone (a stale lock).
pid_t UucpHolder(const char *folder, const char *path);

// "qor-gateway (PID 812)", or "another program" for pid 0.
void DescribeHolder(pid_t pid, char *text, std::size_t capacity);

}  // namespace qor::comm

#endif  // QOR_COMM_PORT_HOLDER_H
