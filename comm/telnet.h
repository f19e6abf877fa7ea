// Telnet as a com port server speaks it (RFC 854, with the com port option
// of RFC 2217): the byte stream with its commands taken out and IAC
// undoubled, the option negotiation answered, the server's answers to com
// port commands noted. No I/O and no allocation: the transport
// (rfc2217.cpp) reads and writes, this only looks at bytes. Data bytes
// pass as they are, also to a server that declines binary mode: no NUL is
// added after a CR, which on a two-wire bus would still be on the line
// when the module starts its reply.
#ifndef QOR_COMM_TELNET_H
#define QOR_COMM_TELNET_H

#include <cstddef>
#include <cstdint>

namespace qor::comm {

constexpr unsigned char kTelnetIac = 255;
constexpr unsigned char kTelnetDont = 254;
constexpr unsigned char kTelnetDo = 253;
constexpr unsigned char kTelnetWont = 252;
constexpr unsigned char kTelnetWill = 251;
constexpr unsigned char kTelnetSb = 250;
constexpr unsigned char kTelnetSe = 240;

// The options this client takes part in; every other one is refused.
enum class TelnetOption { kBinary, kSuppressGoAhead, kComPort };
constexpr int kTelnetOptions = 3;
constexpr unsigned char kTelnetOptionCodes[kTelnetOptions] = {0, 3, 44};

// The com port commands the client sends; the server answers each with the
// same command plus 100 and the value it now has.
enum class ComPortCommand : unsigned char {
    kSetBaudrate = 1,
    kSetDatasize = 2,
    kSetParity = 3,
    kSetStopsize = 4,
    kPurgeData = 12,
};
constexpr int kComPortCommands = 13;  // answers kept for commands 0..12
constexpr unsigned char kServerAnswerOffset = 100;

// Room for the answers one read can call for; more are dropped.
constexpr std::size_t kTelnetReplyCapacity = 48;
// The longest subnegotiation kept (a com port answer needs 5 bytes).
constexpr std::size_t kTelnetSubCapacity = 16;

enum class TelnetStage { kData, kCommand, kOption, kSubOption, kSubData, kSubCommand };

struct OptionSide {
    bool on = false;
    bool asked = false;  // we sent the request and await the answer
};

struct TelnetState {
    TelnetStage stage = TelnetStage::kData;
    unsigned char verb = 0;  // WILL, WONT, DO or DONT awaiting its option
    unsigned char sub_option = 0;
    unsigned char sub[kTelnetSubCapacity] = {};
    std::size_t sub_length = 0;
    bool sub_overflow = false;
    // local: this client does the option (the server said DO); remote: the
    // server does it (it said WILL).
    OptionSide local[kTelnetOptions];
    OptionSide remote[kTelnetOptions];
    bool com_port_refused = false;  // the server said DONT to the com port option
    bool answered[kComPortCommands] = {};
    std::uint32_t answer[kComPortCommands] = {};
    // Negotiation the server's commands call for, to be sent.
    unsigned char reply[kTelnetReplyCapacity] = {};
    std::size_t reply_length = 0;
};

// Writes the requests a client opens with: WILL com port, WILL and DO
// binary, WILL and DO suppress-go-ahead; returns their length (at most 15).
std::size_t TelnetOpening(TelnetState *state, unsigned char *out);

// Takes the Telnet commands out of `count` received bytes, in place, and
// returns how many data bytes remain at the front of `bytes`. Commands may
// be split across calls. Answers to negotiation collect in state->reply.
std::size_t TelnetDecode(TelnetState *state, unsigned char *bytes, std::size_t count);

// Copies `count` data bytes to `out` with every IAC doubled; `out` needs
// room for 2 * count. Returns the length written.
std::size_t TelnetEscape(const unsigned char *bytes, std::size_t count, unsigned char *out);

// Writes IAC SB com-port `command` value IAC SE, the value's IACs doubled;
// `out` needs room for 6 + 2 * length. Returns the length written.
std::size_t ComPortRequest(ComPortCommand command, const unsigned char *value, std::size_t length,
                           unsigned char *out);

}  // namespace qor::comm

#endif  // QOR_COMM_TELNET_H
