// Serial devices through POSIX termios: raw, 8N1 unless the target says
// otherwise, no flow control, every wait done with poll() so that no call
// can block longer than its time-out. On Linux, the driver's RS-485 mode and
// low-latency flag when the target asks for them. A device is held for one
// program: see HoldDevice.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "comm/failure.h"
#include "comm/link_ops.h"
#include "comm/port_holder.h"
#include "comm/posix_io.h"
#include "comm/target.h"

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

constexpr bool OnlyStandardRates() {
    for (const BaudEntry &entry : kBauds) {
        if (!IsStandardBaud(entry.rate)) {
            return false;
        }
    }
    return true;
}
static_assert(OnlyStandardRates(), "a rate the target parser refuses has no use here");
#if defined(__linux__)
// Linux knows every standard rate: none may be missing from the table.
static_assert(sizeof kBauds / sizeof kBauds[0] == sizeof kStandardBauds / sizeof kStandardBauds[0],
              "every standard rate needs its termios code");
#endif

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
// line, no flow control, and reads that return what is there (the waiting
// is done with poll); then the target's framing.
void MakeRaw(struct termios *tio, const Target &target) {
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CRTSCTS
    tio->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    tio->c_cflag |= (target.byte_size == 7 ? CS7 : CS8) | CLOCAL | CREAD;
    if (target.parity != 'N') {
        tio->c_cflag |= PARENB | (target.parity == 'O' ? PARODD : 0);
        // A character that arrived with a parity error reads as NUL rather
        // than as a plausible wrong character.
        tio->c_iflag |= INPCK;
    }
    if (target.stop_bits == 2) {
        tio->c_cflag |= CSTOPB;
    }
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
    MakeRaw(&tio, target);
    if (!SpeedCode(target.baud, &speed) || cfsetispeed(&tio, speed) != 0 ||
        cfsetospeed(&tio, speed) != 0) {
        return Fail(why, Reason::kBaudUnsupported, EINVAL);
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return Fail(why, errno == EINVAL ? Reason::kBaudUnsupported : Reason::kSystem, errno);
    }
    return true;
}

#if defined(__linux__)
// The driver's RS-485 mode: RTS on while sending, off after, with the
// target's delays; what else the driver has set (bus termination, receiving
// while sending) stays. Read back, because drivers drop what they cannot do
// without a word.
bool EnableRs485(int fd, const Target &target, Failure *why) {
    struct serial_rs485 rs485 {};
    if (ioctl(fd, TIOCGRS485, &rs485) != 0) {
        return Fail(why, Reason::kRs485Unsupported, errno);
    }
    rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs485.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    rs485.delay_rts_before_send = static_cast<__u32>(target.rs485_delay_before_ms);
    rs485.delay_rts_after_send = static_cast<__u32>(target.rs485_delay_after_ms);
    struct serial_rs485 kept {};
    if (ioctl(fd, TIOCSRS485, &rs485) != 0 || ioctl(fd, TIOCGRS485, &kept) != 0) {
        return Fail(why, Reason::kRs485Unsupported, errno);
    }
    constexpr __u32 kWanted = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if ((kept.flags & (kWanted | SER_RS485_RTS_AFTER_SEND)) != kWanted) {
        return Fail(why, Reason::kRs485Unsupported, 0);
    }
    if (kept.delay_rts_before_send != rs485.delay_rts_before_send ||
        kept.delay_rts_after_send != rs485.delay_rts_after_send) {
        FormatText(why->detail, sizeof why->detail,
                   "the driver set the RS-485 delays to %u ms before and %u ms after sending, "
                   "not %d and %d",
                   kept.delay_rts_before_send, kept.delay_rts_after_send,
                   target.rs485_delay_before_ms, target.rs485_delay_after_ms);
        return Fail(why, Reason::kSettingRefused, 0);
    }
    return true;
}

// The low-latency flag: a USB adapter then hands on each character at once
// instead of collecting them for up to its latency timer (16 ms by
// default). Read back, because some drivers take the call and ignore it.
bool SetLowLatency(int fd, Failure *why) {
    struct serial_struct serial {};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return Fail(why, Reason::kLowLatencyUnsupported, errno);
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    struct serial_struct kept {};
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0 || ioctl(fd, TIOCGSERIAL, &kept) != 0) {
        return Fail(why, Reason::kLowLatencyUnsupported, errno);
    }
    if ((kept.flags & ASYNC_LOW_LATENCY) == 0) {
        return Fail(why, Reason::kLowLatencyUnsupported, 0);
    }
    return true;
}
#else
bool EnableRs485(int, const Target &, Failure *why) {
    FormatText(why->detail, sizeof why->detail, "rs485=1 is not available on this system");
    return Fail(why, Reason::kNotAvailable, 0);
}

bool SetLowLatency(int, Failure *why) {
    FormatText(why->detail, sizeof why->detail, "low_latency=1 is not available on this system");
    return Fail(why, Reason::kNotAvailable, 0);
}
#endif

// What the target asks of the driver beyond termios.
bool ConfigureDriver(int fd, const Target &target, Failure *why) {
    return (!target.rs485 || EnableRs485(fd, target, why)) &&
           (!target.low_latency || SetLowLatency(fd, why));
}

// Another program holds the device: refused at once, naming the holder
// where one can be found.
bool FailBusy(pid_t holder, Failure *why) {
    DescribeHolder(holder, why->detail, sizeof why->detail);
    return Fail(why, Reason::kBusy, EBUSY);
}

// The holder of a device this process could not open (the kernel's
// exclusive mode refuses a second open with EBUSY): its flock(2) lock, else
// its UUCP lock file.
pid_t HolderOfPath(const char *path) {
    struct stat info {};
    pid_t holder = stat(path, &info) == 0 ? FlockHolder(info.st_dev, info.st_ino) : 0;
    return holder != 0 ? holder : UucpHolder(kUucpLockFolder, path);
}

// One port, one owner: two programs on one bus take each other's replies.
// The lock is flock(2), as pyserial (exclusive=True), picocom and flock(1)
// take it: the kernel drops it when its holder closes the device or dies,
// so a killed program leaves no stale lock, and /proc/locks names the
// holder. The kernel's exclusive mode (TIOCEXCL) then refuses further opens
// by programs that take no lock, except those of root. A UUCP lock file
// (minicom, cu, ser2net) of a live process is honoured too. exclusive=0
// takes a shared lock instead: programs that share the device may open it
// together, and none of them while one holds it alone.
bool HoldDevice(int fd, const Target &target, Failure *why) {
    if (target.exclusive) {
        if (pid_t holder = UucpHolder(kUucpLockFolder, target.location)) {
            return FailBusy(holder, why);
        }
    }
    int taken = 0;
    do {
        taken = flock(fd, (target.exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (taken != 0 && errno == EINTR);
    if (taken != 0 && errno == EWOULDBLOCK) {
        struct stat info {};
        return FailBusy(fstat(fd, &info) == 0 ? FlockHolder(info.st_dev, info.st_ino) : 0, why);
    }
    // Any other failure (a file system without locks) leaves the device
    // unlocked rather than unusable.
#ifdef TIOCEXCL
    // Not every driver supports it; that is no reason to refuse the device.
    if (target.exclusive) {
        ioctl(fd, TIOCEXCL);
    }
#endif
    return true;
}

bool SerialOpen(const Target &target, LinkHandle *link, Failure *why) {
    // O_NONBLOCK: neither the open (waiting for carrier) nor a write may
    // block; all waiting is bounded by poll.
    int fd = -1;
    do {
        fd = open(target.location, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == EBUSY) {
        return FailBusy(HolderOfPath(target.location), why);
    }
    if (fd < 0) {
        return Fail(why, OpenErrorReason(errno), errno);
    }
    if (!HoldDevice(fd, target, why) || !Configure(fd, target, why) ||
        !ConfigureDriver(fd, target, why)) {
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

const LinkOps kSerialLinkOps = {SerialOpen, SerialClose,       SerialWrite,
                                SerialRead, SerialTakeWaiting, nullptr};

}  // namespace qor::comm
