#include "comm/failure.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "comm/platform.h"

namespace qor::comm {

namespace {

// As many as there are places in the port table, so that every port in use
// can have its failure on record; ports without a place (a malformed target,
// a full table) share the same room.
constexpr int kFailureRecords = 64;

struct FailureRecord {
    bool used = false;
    int number = 0;
    std::uint64_t age = 0;  // higher is newer
    char text[kFailureTextCapacity] = {};
};

// A leaf lock: nothing else is locked while it is held, and it is never
// held while a trace callback runs.
std::mutex g_failure_lock;
FailureRecord g_records[kFailureRecords];
std::uint64_t g_next_age = 1;

FailureRecord *FindRecord(int number) {
    for (FailureRecord &record : g_records) {
        if (record.used && record.number == number) {
            return &record;
        }
    }
    return nullptr;
}

FailureRecord &OldestRecord() {
    FailureRecord *oldest = &g_records[0];
    for (FailureRecord &record : g_records) {
        if (!record.used) {
            return record;
        }
        if (record.age < oldest->age) {
            oldest = &record;
        }
    }
    return *oldest;
}

// The text for a reason that needs no system text; nullptr for those that
// do.
const char *FixedText(Reason reason) {
    switch (reason) {
        case Reason::kNone:
            return "no failure";
        case Reason::kBadTarget:
            return "malformed target";
        case Reason::kNoSlot:
            return "no free port: 64 port numbers are in use (QOR_ClosePort frees one)";
        case Reason::kNoDevice:
            return "no such device";
        case Reason::kPermission:
            return "permission denied";
        case Reason::kNotSerial:
            return "not a serial device";
        case Reason::kBaudUnsupported:
            return "the device does not support that baud rate";
        case Reason::kRefused:
            return "connection refused";
        case Reason::kHostUnknown:
            return "host unknown";
        case Reason::kClosedByPeer:
            return "closed by the other end";
        case Reason::kLookupBacklog:
            return "host lookup not started: earlier lookups that timed out have not returned";
        case Reason::kRs485Unsupported:
            return "the driver has no RS-485 mode (rs485=1)";
        case Reason::kLowLatencyUnsupported:
            return "the driver takes no low-latency flag (low_latency=1)";
        case Reason::kComPortRefused:
            return "the server refused the com port option (RFC 2217); a raw TCP port takes "
                   "socket://";
        default:
            return nullptr;
    }
}

}  // namespace

void FormatText(char *text, std::size_t capacity, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, capacity, format, arguments);
    va_end(arguments);
}

void DescribeReason(const Failure &failure, char *text, std::size_t capacity) {
    if (const char *fixed = FixedText(failure.reason)) {
        FormatText(text, capacity, "%s", fixed);
        return;
    }
    char system[256];
    switch (failure.reason) {
        case Reason::kLookupFailed:
            LookupCodeText(failure.code, system, sizeof system);
            FormatText(text, capacity, "host lookup failed: %s", system);
            return;
        case Reason::kLookupTimedOut:
            FormatText(text, capacity, "host lookup timed out after %d ms", failure.waited_ms);
            return;
        case Reason::kConnectTimedOut:
            FormatText(text, capacity, "connect timed out after %d ms", failure.waited_ms);
            return;
        case Reason::kWriteStalled:
            FormatText(text, capacity, "write timed out: %s took nothing for %d ms",
                       failure.detail[0] != '\0' ? failure.detail : "the link", failure.waited_ms);
            return;
        case Reason::kBusy:
            FormatText(text, capacity, "port busy: held by %s",
                       failure.detail[0] != '\0' ? failure.detail : "another program");
            return;
        case Reason::kOpenWriteStalled:
            FormatText(text, capacity,
                       "write timed out: the server took nothing more within the open's %d ms "
                       "(connect_timeout_ms)",
                       failure.waited_ms);
            return;
        case Reason::kNotAvailable:
        case Reason::kSettingRefused:
            FormatText(text, capacity, "%s", failure.detail);
            return;
        case Reason::kSettingIgnored:
            FormatText(text, capacity, "the server did not acknowledge %s within %d ms",
                       failure.detail, failure.waited_ms);
            return;
        case Reason::kComPortSilent:
            FormatText(text, capacity,
                       "no answer to the com port option (RFC 2217) within %d ms; a raw TCP "
                       "port takes socket://",
                       failure.waited_ms);
            return;
        default:
            SystemCodeText(failure.code, system, sizeof system);
            FormatText(text, capacity, "%s", system);
    }
}

int SystemCodeFor(const Failure &failure) {
    // A resolver's code is not a system code.
    bool resolver =
        failure.reason == Reason::kHostUnknown || failure.reason == Reason::kLookupFailed;
    // A busy port has a code of its own, whatever the system said (Windows
    // says "access denied", as for a port without permission), so that a
    // host can tell it.
    if (failure.code != 0 && !resolver && failure.reason != Reason::kBusy) {
        return failure.code;
    }
    return CodeForReason(failure.reason);
}

void RecordFailure(int number, const char *text) {
    std::lock_guard<std::mutex> hold(g_failure_lock);
    FailureRecord *record = FindRecord(number);
    if (record == nullptr) {
        record = &OldestRecord();
    }
    record->used = true;
    record->number = number;
    record->age = g_next_age++;
    FormatText(record->text, sizeof record->text, "%s", text);
}

void ClearFailure(int number) {
    std::lock_guard<std::mutex> hold(g_failure_lock);
    if (FailureRecord *record = FindRecord(number)) {
        record->used = false;
    }
}

int CopyFailure(int number, char *text, int size) {
    std::lock_guard<std::mutex> hold(g_failure_lock);
    const FailureRecord *record = FindRecord(number);
    const char *found = record != nullptr ? record->text : "";
    if (text != nullptr && size > 0) {
        FormatText(text, static_cast<std::size_t>(size), "%s", found);
    }
    return static_cast<int>(std::strlen(found));
}

}  // namespace qor::comm
