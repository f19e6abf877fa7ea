// Why something failed, and the texts QOR_PortError gives: each failure is
// kept with its port number, newest first, so that a host can ask for the
// reason after the fact and from any thread.
#ifndef QOR_COMM_FAILURE_H
#define QOR_COMM_FAILURE_H

#include <cstddef>

namespace qor::comm {

enum class Reason {
    kNone,
    kBadTarget,  // the text does not parse; the parser wrote the detail
    kNoSlot,     // every place in the port table is taken
    kNoDevice,
    kPermission,
    kBusy,  // another program holds the device; `detail` names it, or is ""
    kNotSerial,
    kBaudUnsupported,
    kRefused,
    kHostUnknown,
    kLookupFailed,
    kLookupTimedOut,
    kLookupBacklog,  // earlier lookups that timed out still have not returned
    kConnectTimedOut,
    kUnreachable,
    kClosedByPeer,           // the far end closed the link
    kWriteStalled,           // the link took nothing for a whole time-out
    kOpenWriteStalled,       // the server took nothing more until the open's time was up
    kRs485Unsupported,       // rs485=1 on a driver without RS-485 mode
    kLowLatencyUnsupported,  // low_latency=1 on a driver without the flag
    kNotAvailable,           // an option this system cannot honour; `detail` says which
    kSettingRefused,         // the driver or server kept another value; `detail` says which
    kSettingIgnored,         // a setting not acknowledged within waited_ms; `detail` names it
    kComPortRefused,         // the server refused the com port option (RFC 2217)
    kComPortSilent,          // no answer to the com port option within waited_ms
    kSystem,                 // anything else; the system's text says it
};

struct Failure {
    Reason reason = Reason::kNone;
    // The system's error code (errno, GetLastError, a Winsock code), 0 when
    // there is none; for kHostUnknown and kLookupFailed the resolver's own
    // code.
    int code = 0;
    // kConnectTimedOut, kLookupTimedOut, kWriteStalled, kSettingIgnored,
    // kComPortSilent: the wait in ms; kOpenWriteStalled: the open's whole
    // time (how long the stalled write itself waited says little: only
    // what was left of the open, none at all when it was up).
    int waited_ms = 0;
    // kNotAvailable, kSettingRefused, kSettingIgnored: what was asked and,
    // where it applies, what came instead, in words; kWriteStalled: what
    // took nothing ("the server"), or "" for the link; kBusy: the holder
    // ("qor-gateway (PID 812)"), or "" when it is not known.
    char detail[128] = {};
};

// Fills in `why` and returns false, so that a failing step can end with
// `return Fail(why, ...)`. The detail, where one applies, is written first.
inline bool Fail(Failure *why, Reason reason, int code, int waited_ms = 0) {
    why->reason = reason;
    why->code = code;
    why->waited_ms = waited_ms;
    return false;
}

// Room for one failure text, its NUL included; longer texts are cut.
constexpr std::size_t kFailureTextCapacity = 640;

// snprintf for the failure texts, which are cut where they do not fit.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void FormatText(char *text, std::size_t capacity, const char *format, ...);

// Writes the reason in words ("no such device"); the system's own text for
// kSystem.
void DescribeReason(const Failure &failure, char *text, std::size_t capacity);

// The system error code QOR_OpenPort leaves for the host (errno or the
// thread's last error) for a failure.
int SystemCodeFor(const Failure &failure);

// Keeps `text` as the last failure of port `number`, replacing an older one
// of the same port or else the oldest on record.
void RecordFailure(int number, const char *text);
// Forgets the port's failure (it opened).
void ClearFailure(int number);
// QOR_PortError: see qor_comm.h.
int CopyFailure(int number, char *text, int size);

}  // namespace qor::comm

#endif  // QOR_COMM_FAILURE_H
