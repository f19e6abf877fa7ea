#include "comm/telnet.h"

#include <initializer_list>

namespace qor::comm {

namespace {

int OptionIndex(unsigned char code) {
    for (int i = 0; i < kTelnetOptions; ++i) {
        if (kTelnetOptionCodes[i] == code) {
            return i;
        }
    }
    return -1;
}

void Reply(TelnetState *state, unsigned char verb, unsigned char option) {
    if (state->reply_length + 3 <= sizeof state->reply) {
        unsigned char *at = state->reply + state->reply_length;
        at[0] = kTelnetIac;
        at[1] = verb;
        at[2] = option;
        state->reply_length += 3;
    }
}

// WILL (turn on) or WONT (off) for one side of an option. A request is
// answered once, an answer to our own request not at all, and a request
// that changes nothing is ignored, so that two parties cannot loop (RFC
// 854). The client does binary, suppress-go-ahead and the com port option
// itself, and lets the server do binary and suppress-go-ahead; the com
// port option is the client's, so the server's offer of it is refused.
void Negotiate(TelnetState *state, unsigned char verb, unsigned char code) {
    const bool ours = verb == kTelnetDo || verb == kTelnetDont;
    const bool turn_on = verb == kTelnetDo || verb == kTelnetWill;
    const int index = OptionIndex(code);
    const bool supported =
        index >= 0 && (ours || index != static_cast<int>(TelnetOption::kComPort));
    const unsigned char yes = ours ? kTelnetWill : kTelnetDo;
    const unsigned char no = ours ? kTelnetWont : kTelnetDont;
    if (!supported) {
        if (turn_on) {
            Reply(state, no, code);
        }
        return;
    }
    OptionSide &side = ours ? state->local[index] : state->remote[index];
    if (ours && !turn_on && index == static_cast<int>(TelnetOption::kComPort)) {
        state->com_port_refused = true;
    }
    if (side.on == turn_on && !side.asked) {
        return;
    }
    if (!side.asked) {
        Reply(state, turn_on ? yes : no, code);
    }
    side.on = turn_on;
    side.asked = false;
}

// A finished subnegotiation: the server's answer to a com port command.
void Subnegotiated(TelnetState *state) {
    if (state->sub_option != kTelnetOptionCodes[static_cast<int>(TelnetOption::kComPort)] ||
        state->sub_overflow || state->sub_length < 2) {
        return;
    }
    int command = state->sub[0] - kServerAnswerOffset;
    if (command < 0 || command >= kComPortCommands) {
        // The server's notices (line and modem state, flow control) are
        // not used: frames are short, and each reply is awaited anyway.
        return;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 1; i < state->sub_length && i <= 4; ++i) {
        value = (value << 8) | state->sub[i];
    }
    state->answered[command] = true;
    state->answer[command] = value;
}

void KeepSub(TelnetState *state, unsigned char byte) {
    if (state->sub_length < sizeof state->sub) {
        state->sub[state->sub_length++] = byte;
    } else {
        state->sub_overflow = true;
    }
}

// One byte after IAC: a doubled IAC is a data byte (returns true).
bool Command(TelnetState *state, unsigned char byte) {
    state->stage = TelnetStage::kData;
    if (byte == kTelnetIac) {
        return true;
    }
    if (byte >= kTelnetWill) {
        state->verb = byte;
        state->stage = TelnetStage::kOption;
    } else if (byte == kTelnetSb) {
        state->stage = TelnetStage::kSubOption;
    }
    // Anything else (NOP, GA, AYT, ...) has no meaning for this link.
    return false;
}

// One byte inside IAC SB ... IAC SE.
void SubByte(TelnetState *state, unsigned char byte) {
    switch (state->stage) {
        case TelnetStage::kSubOption:
            state->sub_option = byte;
            state->sub_length = 0;
            state->sub_overflow = false;
            state->stage = TelnetStage::kSubData;
            return;
        case TelnetStage::kSubData:
            if (byte == kTelnetIac) {
                state->stage = TelnetStage::kSubCommand;
            } else {
                KeepSub(state, byte);
            }
            return;
        default:  // kSubCommand
            if (byte == kTelnetIac) {
                KeepSub(state, byte);
                state->stage = TelnetStage::kSubData;
                return;
            }
            // IAC SE ends it; so does any other command, which is then
            // taken as the command it is.
            Subnegotiated(state);
            state->stage = TelnetStage::kData;
            if (byte != kTelnetSe) {
                Command(state, byte);
            }
    }
}

}  // namespace

std::size_t TelnetOpening(TelnetState *state, unsigned char *out) {
    constexpr int kComPort = static_cast<int>(TelnetOption::kComPort);
    std::size_t length = 0;
    auto ask = [&](unsigned char verb, int index) {
        OptionSide &side = verb == kTelnetWill ? state->local[index] : state->remote[index];
        side.asked = true;
        out[length++] = kTelnetIac;
        out[length++] = verb;
        out[length++] = kTelnetOptionCodes[index];
    };
    ask(kTelnetWill, kComPort);
    for (TelnetOption option : {TelnetOption::kBinary, TelnetOption::kSuppressGoAhead}) {
        ask(kTelnetWill, static_cast<int>(option));
        ask(kTelnetDo, static_cast<int>(option));
    }
    return length;
}

std::size_t TelnetDecode(TelnetState *state, unsigned char *bytes, std::size_t count) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char byte = bytes[i];
        switch (state->stage) {
            case TelnetStage::kData:
                if (byte == kTelnetIac) {
                    state->stage = TelnetStage::kCommand;
                } else {
                    bytes[kept++] = byte;
                }
                break;
            case TelnetStage::kCommand:
                if (Command(state, byte)) {
                    bytes[kept++] = byte;
                }
                break;
            case TelnetStage::kOption:
                Negotiate(state, state->verb, byte);
                state->stage = TelnetStage::kData;
                break;
            default:
                SubByte(state, byte);
        }
    }
    return kept;
}

std::size_t TelnetEscape(const unsigned char *bytes, std::size_t count, unsigned char *out) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        out[length++] = bytes[i];
        if (bytes[i] == kTelnetIac) {
            out[length++] = kTelnetIac;
        }
    }
    return length;
}

std::size_t ComPortRequest(ComPortCommand command, const unsigned char *value, std::size_t length,
                           unsigned char *out) {
    std::size_t used = 0;
    out[used++] = kTelnetIac;
    out[used++] = kTelnetSb;
    out[used++] = kTelnetOptionCodes[static_cast<int>(TelnetOption::kComPort)];
    out[used++] = static_cast<unsigned char>(command);
    used += TelnetEscape(value, length, out + used);
    out[used++] = kTelnetIac;
    out[used++] = kTelnetSe;
    return used;
}

}  // namespace qor::comm
