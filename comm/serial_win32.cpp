// Serial ports through the Win32 communications API: 8N1 unless the target
// says otherwise, no flow control, RTS toggled around each frame for RS-485,
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

#include "comm/failure.h"
#include "comm/link_ops.h"
#include "comm/target.h"

namespace qor::comm {

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

Reason OpenErrorReason(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return Reason::kNoDevice;
        // A port another program holds answers "access denied".
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return Reason::kBusy;
        default:
            return Reason::kSystem;
    }
}

BYTE ParityCode(char parity) {
    return parity == 'E' ? EVENPARITY : parity == 'O' ? ODDPARITY : NOPARITY;
}

void DescribeLine(DCB *dcb, const Target &target) {
    dcb->BaudRate = static_cast<DWORD>(target.baud);
    dcb->ByteSize = static_cast<BYTE>(target.byte_size);
    dcb->Parity = ParityCode(target.parity);
    dcb->StopBits = target.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fBinary = TRUE;
    // A character with a parity error is then replaced by the error
    // character, NUL, rather than passing for a plausible wrong one.
    dcb->fParity = target.parity != 'N' ? TRUE : FALSE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fNull = FALSE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    // A framing error or overrun must not stop all further I/O until
    // someone clears it: the reply is simply judged bad and the next frame
    // starts afresh.
    dcb->fAbortOnError = FALSE;
}

// What Windows has no call for refuses the open rather than being left out.
bool RefuseUnavailable(const Target &target, Failure *why) {
    const char *what = nullptr;
    if (target.low_latency) {
        what =
            "low_latency=1 is not available on Windows (the latency timer of a USB adapter is "
            "a setting of its driver)";
    } else if (target.rs485_delay_before_ms != 0 || target.rs485_delay_after_ms != 0) {
        what = "RS-485 delays are not available on Windows (rs485=1 alone toggles RTS)";
    } else if (!target.exclusive) {
        what =
            "exclusive=0 is not available on Windows (a COM port opens for one program at a "
            "time)";
    }
    if (what == nullptr) {
        return true;
    }
    FormatText(why->detail, sizeof why->detail, "%s", what);
    return Fail(why, Reason::kNotAvailable, ERROR_NOT_SUPPORTED);
}

// RS-485: the driver raises RTS while it sends and drops it after. Read
// back, because not every driver does it.
bool EnableRtsToggle(HANDLE handle, DCB *dcb, Failure *why) {
    dcb->fRtsControl = RTS_CONTROL_TOGGLE;
    DCB kept{};
    kept.DCBlength = sizeof kept;
    if (!SetCommState(handle, dcb) || !GetCommState(handle, &kept)) {
        return Fail(why, Reason::kRs485Unsupported, GetLastError());
    }
    if (kept.fRtsControl != RTS_CONTROL_TOGGLE) {
        return Fail(why, Reason::kRs485Unsupported, ERROR_NOT_SUPPORTED);
    }
    return true;
}

// Sets the target's rate and framing and the time-outs on an open handle.
bool Configure(HANDLE handle, const Target &target, Failure *why) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // GetCommState fails on anything that is not a communications device.
    if (!GetCommState(handle, &dcb)) {
        return Fail(why, Reason::kNotSerial, GetLastError());
    }
    DescribeLine(&dcb, target);
    // A rate the driver cannot do fails here rather than running at another.
    if (!SetCommState(handle, &dcb)) {
        return Fail(why, Reason::kBaudUnsupported, GetLastError());
    }
    if (target.rs485 && !EnableRtsToggle(handle, &dcb, why)) {
        return false;
    }
    // The bit times of a character (start, data, parity, stop), rounded up
    // to whole milliseconds.
    long bits = 1 + target.byte_size + (target.parity != 'N' ? 1 : 0) + target.stop_bits;
    DWORD ms_per_byte = static_cast<DWORD>((bits * 1000 + target.baud - 1) / target.baud);
    COMMTIMEOUTS timeouts = TimeoutsFor(target.timeout_ms, ms_per_byte);
    if (!SetCommTimeouts(handle, &timeouts)) {
        return Fail(why, Reason::kSystem, GetLastError());
    }
    return true;
}

bool SerialOpen(const Target &target, LinkHandle *link, Failure *why) {
    char path[kLocationCapacity + 8];
    if (!RefuseUnavailable(target, why)) {
        return false;
    }
    if (!DevicePath(target.location, path, sizeof path)) {
        return Fail(why, Reason::kNoDevice, ERROR_FILE_NOT_FOUND);
    }
    // No sharing: a second program on the same port would take replies
    // meant for this one. The handle is not inherited by child processes.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        Reason reason = OpenErrorReason(error);
        if (reason == Reason::kBusy) {
            // Windows does not say who holds a port.
            FormatText(why->detail, sizeof why->detail, "another program");
        }
        return Fail(why, reason, error);
    }
    if (!Configure(handle, target, why)) {
        CloseHandle(handle);
        return false;
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    *link = reinterpret_cast<LinkHandle>(handle);
    return true;
}

bool SerialWrite(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms,
                 int *code) {
    HANDLE handle = Handle(link);
    if (!UseTimeout(handle, timeout_ms)) {
        *code = static_cast<int>(GetLastError());
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(count - done);
        if (!WriteFile(handle, bytes + done, chunk, &written, nullptr)) {
            // The device went away (unplugged adapter) or refused the write.
            *code = static_cast<int>(GetLastError());
            return false;
        }
        if (written == 0) {
            // The write time-out ran out with nothing taken: stuck.
            *code = 0;
            return false;
        }
        done += written;
    }
    return true;
}

long SerialRead(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms,
                int *code) {
    HANDLE handle = Handle(link);
    DWORD got = 0;
    DWORD wanted = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    if (!UseTimeout(handle, timeout_ms) || !ReadFile(handle, buffer, wanted, &got, nullptr)) {
        *code = static_cast<int>(GetLastError());
        return -1;
    }
    // Nothing within the time-out is 0, as the port table expects.
    return static_cast<long>(got);
}

long SerialTakeWaiting(LinkHandle link, unsigned char *buffer, std::size_t capacity, int *code) {
    HANDLE handle = Handle(link);
    // Line errors of the last reply are reset along with its leftovers.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status)) {
        *code = static_cast<int>(GetLastError());
        return -1;
    }
    if (status.cbInQue == 0) {
        return 0;
    }
    // A time-out of 0 makes the read return at once with what is there.
    return SerialRead(link, buffer, capacity < status.cbInQue ? capacity : status.cbInQue, 0, code);
}

}  // namespace

const LinkOps kSerialLinkOps = {SerialOpen, SerialClose,       SerialWrite,
                                SerialRead, SerialTakeWaiting, nullptr};

}  // namespace qor::comm
