// The platform layer on Windows.
#include <cstdio>
#include <cstring>
#include <new>

#include "comm/platform.h"
#include "comm/socket_api.h"  // Winsock, and windows.h after it

namespace qor::comm {

namespace {

struct ThreadStart {
    void (*function)(void *);
    void *argument;
};

DWORD WINAPI RunThread(LPVOID start) {
    ThreadStart run = *static_cast<ThreadStart *>(start);
    delete static_cast<ThreadStart *>(start);
    run.function(run.argument);
    return 0;
}

// The DLL stays loaded for good once a helper thread has run its code: a
// host that frees it while a lookup is still going would otherwise pull the
// code from under that thread.
bool PinThisLibrary() {
    HMODULE module = nullptr;
    return GetModuleHandleExA(
               GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
               reinterpret_cast<LPCSTR>(&RunThread), &module) != 0;
}

}  // namespace

std::int64_t MonotonicNs() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return static_cast<std::int64_t>(value.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    std::int64_t ticks = static_cast<std::int64_t>(now.QuadPart);
    // In two steps, so that the product cannot overflow.
    return ticks / frequency * 1000000000 + ticks % frequency * 1000000000 / frequency;
}

std::int64_t MonotonicMs() {
    return MonotonicNs() / 1000000;
}

int CodeForReason(Reason reason) {
    switch (reason) {
        case Reason::kNoSlot:
            return ERROR_TOO_MANY_OPEN_FILES;
        case Reason::kNoDevice:
            return ERROR_FILE_NOT_FOUND;
        case Reason::kPermission:
            return ERROR_ACCESS_DENIED;
        case Reason::kBusy:
            return ERROR_SHARING_VIOLATION;
        case Reason::kNotSerial:
        case Reason::kRs485Unsupported:
        case Reason::kLowLatencyUnsupported:
        case Reason::kNotAvailable:
            return ERROR_NOT_SUPPORTED;
        case Reason::kRefused:
            return WSAECONNREFUSED;
        case Reason::kHostUnknown:
        case Reason::kLookupFailed:
            return WSAHOST_NOT_FOUND;
        case Reason::kUnreachable:
            return WSAEHOSTUNREACH;
        case Reason::kLookupTimedOut:
        case Reason::kLookupBacklog:
        case Reason::kConnectTimedOut:
        case Reason::kWriteStalled:
        case Reason::kOpenWriteStalled:
        case Reason::kSettingIgnored:
        case Reason::kComPortSilent:
            return WSAETIMEDOUT;
        case Reason::kClosedByPeer:
            return WSAECONNRESET;
        case Reason::kComPortRefused:
            return WSAEPROTONOSUPPORT;
        case Reason::kSystem:
            return ERROR_GEN_FAILURE;
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

void SetSystemCode(int code) {
    SetLastError(static_cast<DWORD>(code));
}

void SystemCodeText(int code, char *text, std::size_t capacity) {
    char message[256] = {};
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, message, sizeof message, nullptr);
    // The system's texts end in a full stop and a line break.
    while (length > 0 && std::strchr(".\r\n ", message[length - 1]) != nullptr) {
        message[--length] = '\0';
    }
    if (length == 0) {
        std::snprintf(text, capacity, "system error %d", code);
        return;
    }
    std::snprintf(text, capacity, "%s", message);
}

void LookupCodeText(int code, char *text, std::size_t capacity) {
    // getaddrinfo answers with Winsock's codes, which have system texts.
    SystemCodeText(code, text, capacity);
}

bool StartDetachedThread(void (*function)(void *), void *argument) {
    auto *start = new (std::nothrow) ThreadStart{function, argument};
    if (start == nullptr || !PinThisLibrary()) {
        delete start;
        return false;
    }
    HANDLE thread = CreateThread(nullptr, 0, RunThread, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
}

bool IsPseudoTerminal(std::intptr_t /*link*/) {
    return false;  // Windows has no pseudo-terminals among its serial ports
}

bool DefaultDevice(int port, char *path, std::size_t capacity) {
    if (port < 1) {
        return false;
    }
    int length = std::snprintf(path, capacity, "COM%d", port);
    return length > 0 && static_cast<std::size_t>(length) < capacity;
}

}  // namespace qor::comm
