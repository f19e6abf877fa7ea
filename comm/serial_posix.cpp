// Serial devices through POSIX termios: raw 8N1, no flow control, every wait
// done with poll() so that no call can block longer than its time-out.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link_ops.h"
#include "posix_wait.h"

namespace qor_comm {

namespace {

struct BaudEntry {
    long rate;
    speed_t code;
};

// Only the rates this system's termios knows; a rate missing here fails the
// open instead of silently running at another speed.
constexpr BaudEntry kBauds[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedCode(long rate, speed_t *code) {
    for (const BaudEntry &entry : kBauds) {
        if (entry.rate == rate) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

int Fd(LinkHandle link) {
    return static_cast<int>(link);
}

// What cfmakeraw() does, spelled out because cfmakeraw is not in POSIX: no
// line editing, no echo, no character translation, no signals from the
// line, 8 data bits, no parity, one stop bit, no flow control, and reads
// that return what is there (the waiting is done with poll).
void MakeRaw(struct termios *tio) {
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CRTSCTS
    tio->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    tio->c_cflag |= CS8 | CLOCAL | CREAD;
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

void SerialClose(LinkHandle link) {
    int fd = Fd(link);
#ifdef TIOCNXCL
    ioctl(fd, TIOCNXCL);
#endif
    // close() is not retried on EINTR: the descriptor is released either way.
    close(fd);
}

bool SerialOpen(const Target &target, LinkHandle *link) {
    speed_t speed{};
    if (target.transport != Transport::kSerial || !SpeedCode(target.baud, &speed)) {
        return false;
    }
    // O_NONBLOCK: neither the open (waiting for carrier) nor a write may
    // block; all waiting is bounded by poll.
    int fd = -1;
    do {
        fd = open(target.location, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
#ifdef TIOCEXCL
    // Other programs opening the same device now get EBUSY instead of
    // stealing replies. Not every driver supports it; that is no reason to
    // refuse the device.
    ioctl(fd, TIOCEXCL);
#endif
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0) {
        // Not a terminal device (a regular file, /dev/null, a directory).
        SerialClose(fd);
        return false;
    }
    MakeRaw(&tio);
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &tio) != 0) {
        SerialClose(fd);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    *link = fd;
    return true;
}

bool SerialWrite(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms) {
    int fd = Fd(link);
    std::size_t done = 0;
    while (done < count) {
        ssize_t written = write(fd, bytes + done, count - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The output buffer is full; it drains at the line rate. If it
            // does not within the time-out the device is stuck.
            int events = WaitUntil(fd, POLLOUT, MonotonicMs() + timeout_ms);
            if (events <= 0 || (events & POLLOUT) == 0) {
                return false;
            }
            continue;
        }
        // EIO, ENXIO, ENODEV: the device went away; anything else is just as
        // final for this descriptor.
        return false;
    }
    return true;
}

long SerialRead(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms) {
    int fd = Fd(link);
    std::int64_t deadline = MonotonicMs() + timeout_ms;
    for (;;) {
        int events = WaitUntil(fd, POLLIN, deadline);
        if (events == 0) {
            return 0;
        }
        if (events < 0 || (events & POLLNVAL) != 0) {
            return -1;
        }
        // With a hang-up pending, whatever already arrived is still handed
        // out first; the read after it reports the loss.
        ssize_t got = read(fd, buffer, capacity);
        if (got > 0) {
            return static_cast<long>(got);
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) &&
            (events & (POLLHUP | POLLERR)) == 0) {
            continue;
        }
        // 0 after poll reported input: the terminal was hung up. EIO, ENXIO,
        // ENODEV: the device is gone.
        return -1;
    }
}

bool SerialDrainInput(LinkHandle link, unsigned char *, std::size_t) {
    int fd = Fd(link);
    for (;;) {
        if (tcflush(fd, TCIFLUSH) == 0) {
            return true;
        }
        if (errno != EINTR) {
            // A hung-up terminal answers EIO here.
            return false;
        }
    }
}

constexpr LinkOps kSerialOps = {SerialOpen, SerialClose, SerialWrite, SerialRead, SerialDrainInput};

}  // namespace

const LinkOps &SerialLink() {
    return kSerialOps;
}

bool DefaultDevice(int port, char *path, std::size_t capacity) {
    if (port < 1) {
        return false;
    }
    int length = snprintf(path, capacity, "/dev/ttyS%d", port - 1);
    return length > 0 && static_cast<std::size_t>(length) < capacity;
}

}  // namespace qor_comm
