// Serial device servers that speak Telnet with the com port option (RFC
// 2217): the TCP connection of tcp_connect.cpp and the platform's socket
// calls (kSocketLinkOps), with the Telnet layer of telnet.cpp between them
// and the port table, so this file is the same on every platform. The open
// negotiates the option and sets the remote line (rate, data bits, parity,
// stop bits), waiting for the server to confirm each; then data bytes pass
// with IAC doubled, and the port table sees only the payload. Modem lines
// are never touched: servers need not answer for them (a pseudo-terminal
// has none), and the line does not need them.
#include <cstdint>
#include <new>

#include "comm/failure.h"
#include "comm/link_ops.h"
#include "comm/platform.h"
#include "comm/socket_api.h"
#include "comm/target.h"
#include "comm/telnet.h"

namespace qor::comm {

namespace {

// A frame is escaped in pieces of the port's whole output buffer, so that
// it still leaves in one send.
constexpr std::size_t kPiece = 256;
// take_waiting reads at most this often when all it finds is negotiation.
constexpr int kMaxCommandOnlyReads = 16;
// PURGE-DATA's value for the server's buffer of what it received from the
// line and has not sent on.
constexpr unsigned char kPurgeReceiveBuffer = 1;

struct Session {
    LinkHandle socket = kNoLink;
    int timeout_ms = 0;
    TelnetState telnet;
};

Session &SessionOf(LinkHandle link) {
    return *reinterpret_cast<Session *>(link);
}

const LinkOps &Tcp() {
    return kSocketLinkOps;
}

// Writes to the server, waiting at most `wait_ms` while it takes nothing.
// With no time left (an open whose deadline came while it read) the bytes
// are still offered once without waiting: a server with room takes them at
// once, and the open then fails, if it must, for what it was waiting for.
// A server that took nothing (one that stopped reading) leaves *code
// kWriteStalledCode, so that a stall is never taken for a close.
bool Send(Session &session, const unsigned char *bytes, std::size_t length, int wait_ms,
          int *code) {
    if (Tcp().write(session.socket, bytes, length, wait_ms > 0 ? wait_ms : 0, code)) {
        return true;
    }
    if (*code == 0) {
        *code = kWriteStalledCode;
    }
    return false;
}

// Takes the Telnet commands out of what was read and sends the answers
// they call for, waiting at most `wait_ms`: the data byte count, or -1 when
// the answer could not go.
long Digest(Session &session, unsigned char *bytes, long count, int wait_ms, int *code) {
    TelnetState &telnet = session.telnet;
    long data = static_cast<long>(TelnetDecode(&telnet, bytes, static_cast<std::size_t>(count)));
    if (telnet.reply_length > 0) {
        std::size_t length = telnet.reply_length;
        telnet.reply_length = 0;
        if (!Send(session, telnet.reply, length, wait_ms, code)) {
            return -1;
        }
    }
    return data;
}

// What is left of the open's time, for one wait.
int LeftMs(std::int64_t deadline_ms) {
    std::int64_t left = deadline_ms - MonotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

enum class Wait { kDone, kTimedOut, kLost };

// Reads until `done` holds for the Telnet state, the deadline passes or the
// link fails; data bytes meanwhile are stale and dropped. Answers to the
// server's negotiation are bound by the same deadline.
template <typename Done>
Wait Await(Session &session, std::int64_t deadline_ms, Done done, int *code) {
    unsigned char scratch[kPiece];
    while (!done(session.telnet)) {
        std::int64_t left = MsUntil(deadline_ms);
        if (left <= 0) {
            return Wait::kTimedOut;
        }
        long got = Tcp().read(session.socket, scratch, sizeof scratch, left, code);
        if (got < 0 || (got > 0 && Digest(session, scratch, got, LeftMs(deadline_ms), code) < 0)) {
            return Wait::kLost;
        }
    }
    return Wait::kDone;
}

// A line setting as the com port option carries it, and as the target names it.
struct LineSetting {
    ComPortCommand command;
    const char *command_name;
    const char *option;
};

constexpr LineSetting kLineSettings[] = {
    {ComPortCommand::kSetBaudrate, "SET-BAUDRATE", "baud"},
    {ComPortCommand::kSetDatasize, "SET-DATASIZE", "bytesize"},
    {ComPortCommand::kSetParity, "SET-PARITY", "parity"},
    {ComPortCommand::kSetStopsize, "SET-STOPSIZE", "stopbits"},
};

// The option's values: 1 none, 2 odd, 3 even, 4 mark, 5 space.
constexpr char kParityLetters[] = "?NOEMS";

std::uint32_t Wanted(ComPortCommand command, const Target &target) {
    switch (command) {
        case ComPortCommand::kSetBaudrate:
            return static_cast<std::uint32_t>(target.baud);
        case ComPortCommand::kSetDatasize:
            return static_cast<std::uint32_t>(target.byte_size);
        case ComPortCommand::kSetParity:
            return target.parity == 'O' ? 2 : target.parity == 'E' ? 3 : 1;
        default:
            return static_cast<std::uint32_t>(target.stop_bits);
    }
}

// "parity=E", "baud=19200": a value as the target would write it.
void NameValue(const LineSetting &setting, std::uint32_t value, char *text, std::size_t capacity) {
    if (setting.command == ComPortCommand::kSetParity) {
        char letter = value < sizeof kParityLetters - 1 ? kParityLetters[value] : '?';
        FormatText(text, capacity, "%s=%c", setting.option, letter);
    } else {
        FormatText(text, capacity, "%s=%lu", setting.option, static_cast<unsigned long>(value));
    }
}

// The four settings, and a purge of what the server kept from before.
std::size_t SettingRequests(const Target &target, unsigned char *out) {
    std::size_t length = 0;
    for (const LineSetting &setting : kLineSettings) {
        std::uint32_t value = Wanted(setting.command, target);
        unsigned char bytes[4] = {
            static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
            static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
        bool wide = setting.command == ComPortCommand::kSetBaudrate;
        length +=
            ComPortRequest(setting.command, wide ? bytes : bytes + 3, wide ? 4 : 1, out + length);
    }
    length += ComPortRequest(ComPortCommand::kPurgeData, &kPurgeReceiveBuffer, 1, out + length);
    return length;
}

bool AllAnswered(const TelnetState &telnet) {
    for (const LineSetting &setting : kLineSettings) {
        if (!telnet.answered[static_cast<int>(setting.command)]) {
            return false;
        }
    }
    return true;
}

// Each setting must have been confirmed with the value asked for.
bool CheckAnswers(const TelnetState &telnet, const Target &target, Failure *why) {
    for (const LineSetting &setting : kLineSettings) {
        int command = static_cast<int>(setting.command);
        char wanted[32];
        NameValue(setting, Wanted(setting.command, target), wanted, sizeof wanted);
        if (!telnet.answered[command]) {
            FormatText(why->detail, sizeof why->detail, "%s (%s)", wanted, setting.command_name);
            return Fail(why, Reason::kSettingIgnored, 0, target.connect_timeout_ms);
        }
        if (telnet.answer[command] != Wanted(setting.command, target)) {
            char got[32];
            NameValue(setting, telnet.answer[command], got, sizeof got);
            FormatText(why->detail, sizeof why->detail,
                       "the server refused %s: it answered %s with %s", wanted,
                       setting.command_name, got);
            return Fail(why, Reason::kSettingRefused, 0);
        }
    }
    return true;
}

// The link failed during the open: the server closed it, the system said
// why, or the server stopped taking what we sent. A stalled write waits no
// longer than the open has left, which may be nothing: it is reported
// against the open's whole time, never as a wait of 0 ms.
bool Lost(const Target &target, Failure *why, int code) {
    if (code == kWriteStalledCode) {
        return Fail(why, Reason::kOpenWriteStalled, 0, target.connect_timeout_ms);
    }
    return Fail(why, code != 0 ? Reason::kSystem : Reason::kClosedByPeer, code);
}

// The com port option first (a server may drop settings for an option not
// yet agreed), then the settings at once, each confirmed.
bool Negotiate(Session &session, const Target &target, std::int64_t deadline_ms, Failure *why) {
    constexpr int kComPort = static_cast<int>(TelnetOption::kComPort);
    unsigned char request[96];
    std::size_t length = TelnetOpening(&session.telnet, request);
    int code = 0;
    if (!Send(session, request, length, LeftMs(deadline_ms), &code)) {
        return Lost(target, why, code);
    }
    Wait wait = Await(
        session, deadline_ms,
        [](const TelnetState &t) { return t.local[kComPort].on || t.com_port_refused; }, &code);
    if (wait == Wait::kLost) {
        return Lost(target, why, code);
    }
    if (session.telnet.com_port_refused) {
        return Fail(why, Reason::kComPortRefused, 0);
    }
    if (wait == Wait::kTimedOut) {
        return Fail(why, Reason::kComPortSilent, 0, target.connect_timeout_ms);
    }
    length = SettingRequests(target, request);
    if (!Send(session, request, length, LeftMs(deadline_ms), &code)) {
        return Lost(target, why, code);
    }
    if (Await(session, deadline_ms, AllAnswered, &code) == Wait::kLost) {
        return Lost(target, why, code);
    }
    return CheckAnswers(session.telnet, target, why);
}

bool Rfc2217Open(const Target &target, LinkHandle *link, Failure *why) {
    // One deadline for the whole open, as for a raw connection.
    const std::int64_t deadline = MonotonicMs() + target.connect_timeout_ms;
    LinkHandle socket = kNoLink;
    if (!TcpOpen(target, &socket, why)) {
        return false;
    }
    auto *session = new (std::nothrow) Session;
    if (session == nullptr) {
        Tcp().close(socket);
        return Fail(why, Reason::kSystem, 0);
    }
    session->socket = socket;
    session->timeout_ms = target.timeout_ms;
    if (!Negotiate(*session, target, deadline, why)) {
        Tcp().close(socket);
        delete session;
        return false;
    }
    *link = reinterpret_cast<LinkHandle>(session);
    return true;
}

void Rfc2217Close(LinkHandle link) {
    Session *session = &SessionOf(link);
    Tcp().close(session->socket);
    delete session;
}

bool Rfc2217Write(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms,
                  int *code) {
    Session &session = SessionOf(link);
    unsigned char escaped[2 * kPiece];
    for (std::size_t done = 0; done < count;) {
        std::size_t piece = count - done < kPiece ? count - done : kPiece;
        std::size_t length = TelnetEscape(bytes + done, piece, escaped);
        if (!Tcp().write(session.socket, escaped, length, timeout_ms, code)) {
            return false;
        }
        done += piece;
    }
    return true;
}

// A read that brought only negotiation has given nothing yet: the wait goes
// on until data comes or the time is up.
long Rfc2217Read(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms,
                 int *code) {
    Session &session = SessionOf(link);
    const std::int64_t deadline = MonotonicMs() + timeout_ms;
    for (;;) {
        std::int64_t left = MsUntil(deadline);
        long got = Tcp().read(session.socket, buffer, capacity,
                              static_cast<int>(left > 0 ? left : 0), code);
        if (got <= 0) {
            return got;
        }
        long data = Digest(session, buffer, got, session.timeout_ms, code);
        if (data != 0 || MonotonicMs() >= deadline) {
            return data;
        }
    }
}

long Rfc2217TakeWaiting(LinkHandle link, unsigned char *buffer, std::size_t capacity, int *code) {
    Session &session = SessionOf(link);
    for (int reads = 0; reads < kMaxCommandOnlyReads; ++reads) {
        long got = Tcp().take_waiting(session.socket, buffer, capacity, code);
        if (got <= 0) {
            return got;
        }
        long data = Digest(session, buffer, got, session.timeout_ms, code);
        if (data != 0) {
            return data;
        }
    }
    return 0;
}

bool Rfc2217Purge(LinkHandle link, int timeout_ms, int *code) {
    Session &session = SessionOf(link);
    unsigned char request[8];
    std::size_t length =
        ComPortRequest(ComPortCommand::kPurgeData, &kPurgeReceiveBuffer, 1, request);
    return Tcp().write(session.socket, request, length, timeout_ms, code);
}

}  // namespace

const LinkOps kRfc2217LinkOps = {Rfc2217Open, Rfc2217Close,       Rfc2217Write,
                                 Rfc2217Read, Rfc2217TakeWaiting, Rfc2217Purge};

}  // namespace qor::comm
