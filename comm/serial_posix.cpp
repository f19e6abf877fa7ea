// Serial devices through POSIX termios: raw 8N1, no flow control, every wait
// done with poll() so that no call can block longer than its time-out.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link_ops.h"
#include "posix_io.h"
#include "target.h"

namespace qor::comm {

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

bool Fail(Failure *why, Reason reason, int code) {
    why->reason = reason;
    why->code = code;
    return false;
}

Reason OpenErrorReason(int error) {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case EIO:  // a serial port the kernel knows without hardware behind it
            return Reason::kNoDevice;
        case EACCES:
        case EPERM:
            return Reason::kPermission;
        case EBUSY:
            return Reason::kBusy;
        case EISDIR:
            return Reason::kNotSerial;
        default:
            return Reason::kSystem;
    }
}

// Puts an open terminal into raw mode at the target's rate.
bool Configure(int fd, const Target &target, Failure *why) {
    speed_t speed{};
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0) {
        // Not a terminal device (a regular file, /dev/null).
        return Fail(why, errno == ENOTTY || errno == EINVAL ? Reason::kNotSerial : Reason::kSystem,
                    errno);
    }
    MakeRaw(&tio);
    if (!SpeedCode(target.baud, &speed) || cfsetispeed(&tio, speed) != 0 ||
        cfsetospeed(&tio, speed) != 0) {
        return Fail(why, Reason::kBaudUnsupported, EINVAL);
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return Fail(why, errno == EINVAL ? Reason::kBaudUnsupported : Reason::kSystem, errno);
    }
    return true;
}

bool SerialOpen(const Target &target, LinkHandle *link, Failure *why) {
    // O_NONBLOCK: neither the open (waiting for carrier) nor a write may
    // block; all waiting is bounded by poll.
    int fd = -1;
    do {
        fd = open(target.location, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return Fail(why, OpenErrorReason(errno), errno);
    }
#ifdef TIOCEXCL
    // Other programs opening the same device now get EBUSY instead of
    // stealing replies. Not every driver supports it; that is no reason to
    // refuse the device.
    ioctl(fd, TIOCEXCL);
#endif
    if (!Configure(fd, target, why)) {
        SerialClose(fd);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    *link = fd;
    return true;
}

bool SerialWrite(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms,
                 int *code) {
    return PosixWrite(Fd(link), FdKind::kTerminal, bytes, count, timeout_ms, code);
}

long SerialRead(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms,
                int *code) {
    return PosixRead(Fd(link), buffer, capacity, timeout_ms, code);
}

long SerialTakeWaiting(LinkHandle link, unsigned char *buffer, std::size_t capacity, int *code) {
    return PosixTakeWaiting(Fd(link), FdKind::kTerminal, buffer, capacity, code);
}

}  // namespace

const LinkOps kSerialLinkOps = {SerialOpen, SerialClose, SerialWrite, SerialRead,
                                SerialTakeWaiting};

}  // namespace qor::comm
