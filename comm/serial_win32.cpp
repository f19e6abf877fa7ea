// Serial ports through the Win32 communications API: 8N1, no flow control,
// the waiting bounded by COMMTIMEOUTS so that no call blocks longer than its
// time-out.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "link_ops.h"

namespace qor_comm {

namespace {

HANDLE Handle(LinkHandle link) {
    return reinterpret_cast<HANDLE>(link);
}

// "COM12" names a device only in the form "\\.\COM12" (the short form works
// for COM1..COM9 alone); any other plain name is taken as a device name too.
// A name that already has a path in it is used as it is.
bool DevicePath(const char *location, char *path, std::size_t capacity) {
    bool plain = std::strpbrk(location, "\\/:") == nullptr;
    int length = std::snprintf(path, capacity, "%s%s", plain ? "\\\\.\\" : "", location);
    return length > 0 && static_cast<std::size_t>(length) < capacity;
}

// A read waits up to `timeout_ms` for the first character and then returns
// at once with whatever has arrived; 0 returns at once in any case. A write
// may take the line time of its bytes plus `timeout_ms`.
COMMTIMEOUTS TimeoutsFor(int timeout_ms, DWORD write_ms_per_byte) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (timeout_ms > 0) {
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms);
    }
    timeouts.WriteTotalTimeoutMultiplier = write_ms_per_byte;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(timeout_ms > 0 ? timeout_ms : 1);
    return timeouts;
}

// The port table passes the target's time-out on every call; it is set on
// the device again only when it differs from what the device has.
bool UseTimeout(HANDLE handle, int timeout_ms) {
    COMMTIMEOUTS current{};
    if (!GetCommTimeouts(handle, &current)) {
        return false;
    }
    COMMTIMEOUTS wanted = TimeoutsFor(timeout_ms, current.WriteTotalTimeoutMultiplier);
    if (std::memcmp(&current, &wanted, sizeof wanted) == 0) {
        return true;
    }
    return SetCommTimeouts(handle, &wanted) != 0;
}

void SerialClose(LinkHandle link) {
    CloseHandle(Handle(link));
}

bool SerialOpen(const Target &target, LinkHandle *link) {
    char path[kLocationCapacity + 8];
    if (target.transport != Transport::kSerial || !DevicePath(target.location, path, sizeof path)) {
        return false;
    }
    // No sharing: a second program on the same port would take replies
    // meant for this one. The handle is not inherited by child processes.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // GetCommState fails on anything that is not a communications device.
    if (!GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(target.baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // A framing error or overrun must not stop all further I/O until
    // someone clears it: the reply is simply judged bad and the next frame
    // starts afresh.
    dcb.fAbortOnError = FALSE;
    // A rate the driver cannot do fails here rather than running at another.
    if (!SetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return false;
    }
    // Ten bit times per character (start, 8 data, stop), rounded up to whole
    // milliseconds.
    DWORD ms_per_byte = static_cast<DWORD>((10000 + target.baud - 1) / target.baud);
    COMMTIMEOUTS timeouts = TimeoutsFor(target.timeout_ms, ms_per_byte);
    if (!SetCommTimeouts(handle, &timeouts)) {
        CloseHandle(handle);
        return false;
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    *link = reinterpret_cast<LinkHandle>(handle);
    return true;
}

bool SerialWrite(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms) {
    HANDLE handle = Handle(link);
    if (!UseTimeout(handle, timeout_ms)) {
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(count - done);
        if (!WriteFile(handle, bytes + done, chunk, &written, nullptr)) {
            // The device went away (unplugged adapter) or refused the write.
            return false;
        }
        if (written == 0) {
            // The write time-out ran out with nothing taken: stuck.
            return false;
        }
        done += written;
    }
    return true;
}

long SerialRead(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms) {
    HANDLE handle = Handle(link);
    if (!UseTimeout(handle, timeout_ms)) {
        return -1;
    }
    DWORD got = 0;
    DWORD wanted = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    if (!ReadFile(handle, buffer, wanted, &got, nullptr)) {
        return -1;
    }
    // Nothing within the time-out is 0, as the port table expects.
    return static_cast<long>(got);
}

bool SerialDrainInput(LinkHandle link, unsigned char *, std::size_t) {
    HANDLE handle = Handle(link);
    // Line errors of the last reply are reset along with its leftovers.
    DWORD errors = 0;
    if (!ClearCommError(handle, &errors, nullptr)) {
        return false;
    }
    return PurgeComm(handle, PURGE_RXCLEAR) != 0;
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
    int length = std::snprintf(path, capacity, "COM%d", port);
    return length > 0 && static_cast<std::size_t>(length) < capacity;
}

}  // namespace qor_comm
