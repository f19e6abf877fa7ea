// The Telnet layer of rfc2217:// on its own: data bytes with IAC (0xFF) in
// every position both ways, commands and subnegotiations taken out of the
// stream even when split across reads, the server's com port answers read
// with their escapes, and the option negotiation answered once each.
#include "comm/telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace qor::comm;

using Bytes = std::string;

const Bytes kIac = "\xFF";
const Bytes kSe = kIac + "\xF0";

Bytes Sub(const Bytes &payload) {
    return kIac + "\xFA" + payload + kSe;
}

// Decodes `wire` in one call, or a byte per call; returns the data bytes.
Bytes Decode(TelnetState *state, const Bytes &wire, bool byte_by_byte) {
    Bytes data;
    std::vector<unsigned char> buffer(wire.begin(), wire.end());
    if (!byte_by_byte) {
        std::size_t kept = TelnetDecode(state, buffer.data(), buffer.size());
        return Bytes(buffer.begin(), buffer.begin() + static_cast<long>(kept));
    }
    for (unsigned char &byte : buffer) {
        if (TelnetDecode(state, &byte, 1) == 1) {
            data += static_cast<char>(byte);
        }
    }
    return data;
}

Bytes Escape(const Bytes &data) {
    std::vector<unsigned char> out(2 * data.size() + 1);
    std::size_t length =
        TelnetEscape(reinterpret_cast<const unsigned char *>(data.data()), data.size(), out.data());
    return Bytes(out.begin(), out.begin() + static_cast<long>(length));
}

Bytes Replies(TelnetState &state) {
    Bytes text(reinterpret_cast<const char *>(state.reply), state.reply_length);
    state.reply_length = 0;
    return text;
}

TEST(TelnetDecode, TakesCommandsOutAndUndoublesIacInEveryPosition) {
    const struct {
        const char *what;
        Bytes wire;
        Bytes data;
    } cases[] = {
        {"alone", "\xFF\xFF", "\xFF"},
        {"first",
         "\xFF\xFF"
         "ab",
         "\xFF"
         "ab"},
        {"middle",
         "a\xFF\xFF"
         "b",
         "a\xFF"
         "b"},
        {"last", "ab\xFF\xFF", "ab\xFF"},
        {"two in a row", "\xFF\xFF\xFF\xFF", "\xFF\xFF"},
        {"NOP between data",
         "a\xFF\xF1"
         "b",
         "ab"},
        {"option between data",
         "a\xFF\xFB\x01"
         "b",
         "ab"},
        {"option on a doubled IAC", "\xFF\xFF\xFF\xFD\x18\xFF\xFF", "\xFF\xFF"},
        {"subnegotiation between data", "a" + Sub("\x2C\x65\x08") + "b", "ab"},
        {"IAC doubled inside a subnegotiation", "a" + Sub("\x2C\x65\xFF\xFF") + "\xFF\xFF",
         "a\xFF"},
        {"subnegotiation cut by a command",
         "a\xFF\xFA\x2C\x65\xFF\xFB\x01"
         "b",
         "ab"},
        {"subnegotiation of another option", Sub(Bytes("\x18\x00\xFF\xFF", 4)) + "z", "z"},
        {"data byte 0xF0 after a subnegotiation", Sub("\x2C\x65") + "\xF0", "\xF0"},
    };
    for (const auto &c : cases) {
        for (bool split : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (split ? ", a byte per read" : ""));
            TelnetState state;
            EXPECT_EQ(Decode(&state, c.wire, split), c.data);
            EXPECT_EQ(state.stage, TelnetStage::kData);
        }
    }
}

TEST(TelnetEscape, DoublesEveryIacAndDecodesBackToTheSameBytes) {
    // 0xFF in each position of four bytes, all four, then every byte value.
    std::vector<Bytes> inputs;
    for (int at = 0; at < 4; ++at) {
        Bytes data = "$1RD";
        data[static_cast<std::size_t>(at)] = '\xFF';
        inputs.push_back(data);
    }
    inputs.push_back("\xFF\xFF\xFF\xFF");
    Bytes every;
    for (int b = 0; b < 256; ++b) {
        every += static_cast<char>(b);
    }
    inputs.push_back(every);
    for (const Bytes &data : inputs) {
        SCOPED_TRACE(::testing::PrintToString(data));
        Bytes wire = Escape(data);
        std::size_t iacs = 0;
        for (char c : data) {
            iacs += c == '\xFF' ? 1 : 0;
        }
        EXPECT_EQ(wire.size(), data.size() + iacs);
        for (bool split : {false, true}) {
            TelnetState state;
            EXPECT_EQ(Decode(&state, wire, split), data);
        }
    }
}

TEST(TelnetComPort, RequestsAndAnswersCarryIacDoubled) {
    // The rate as four bytes, 0xFF in each position; the server echoes it.
    const std::uint32_t rates[] = {0xFF000000u, 0x00FF0000u, 0x0000FF00u,
                                   0x000000FFu, 0xFFFFFFFFu, 9600u};
    for (std::uint32_t rate : rates) {
        SCOPED_TRACE(rate);
        const unsigned char value[4] = {
            static_cast<unsigned char>(rate >> 24), static_cast<unsigned char>(rate >> 16),
            static_cast<unsigned char>(rate >> 8), static_cast<unsigned char>(rate)};
        unsigned char out[6 + 2 * 4];
        std::size_t length = ComPortRequest(ComPortCommand::kSetBaudrate, value, 4, out);
        const Bytes escaped = Escape(Bytes(value, value + 4));
        EXPECT_EQ(Bytes(out, out + length), Sub("\x2C\x01" + escaped));
        for (bool split : {false, true}) {
            TelnetState state;
            const Bytes answer = Sub("\x2C\x65" + escaped);
            EXPECT_EQ(Decode(&state, "a" + answer + "b", split), "ab");
            EXPECT_TRUE(state.answered[1]);
            EXPECT_EQ(state.answer[1], rate);
            EXPECT_FALSE(state.answered[2]);
        }
    }
    // One-byte settings and the purge, each read back to its own command.
    TelnetState state;
    Decode(&state,
           Sub("\x2C\x66\x07") + Sub("\x2C\x67\x03") + Sub("\x2C\x68\x02") + Sub("\x2C\x70\x01"),
           false);
    const std::pair<int, std::uint32_t> answers[] = {{2, 7}, {3, 3}, {4, 2}, {12, 1}};
    for (const auto &[command, value] : answers) {
        EXPECT_TRUE(state.answered[command]) << command;
        EXPECT_EQ(state.answer[command], value) << command;
    }
    EXPECT_FALSE(state.answered[1]);
    // Not com port answers: another option's, a client command (below
    // 100), a notice past the commands kept, one too long to keep.
    TelnetState other;
    Decode(&other,
           Sub(Bytes("\x18\x65\x00\x00\x25\x80", 6)) + Sub("\x2C\x01\x08") + Sub("\x2C\x71\x08") +
               Sub("\x2C\x66" + Bytes(kTelnetSubCapacity, '\x08')),
           false);
    for (bool answered : other.answered) {
        EXPECT_FALSE(answered);
    }
}

TEST(TelnetNegotiation, AnswersOnceAndDeclinesWhatItDoesNotDo) {
    const Bytes iac_will = "\xFF\xFB";
    const Bytes iac_wont = "\xFF\xFC";
    const Bytes iac_do = "\xFF\xFD";
    const Bytes iac_dont = "\xFF\xFE";
    const Bytes binary(1, '\0');
    const struct {
        const char *what;
        bool opened;  // after the client's opening requests
        Bytes server;
        Bytes replies;
    } cases[] = {
        {"unknown option asked for", false, iac_do + "\x18", iac_wont + "\x18"},
        {"unknown option offered", false, iac_will + "\x01", iac_dont + "\x01"},
        {"unknown option refused", false, iac_dont + "\x18" + iac_wont + "\x01", ""},
        {"com port offered by the server", false, iac_will + ",", iac_dont + ","},
        {"binary asked for, twice", false, iac_do + binary + iac_do + binary, iac_will + binary},
        {"suppress-go-ahead offered", false, iac_will + "\x03", iac_do + "\x03"},
        {"answers to the opening", true, iac_do + "," + iac_do + binary + iac_will + "\x03", ""},
        {"on, then turned off", true,
         iac_will + binary + iac_wont + binary + iac_do + "\x03" + iac_dont + "\x03",
         iac_dont + binary + iac_wont + "\x03"},
        {"off already", false, iac_wont + "\x03" + iac_dont + binary, ""},
    };
    for (const auto &c : cases) {
        for (bool split : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (split ? ", a byte per read" : ""));
            TelnetState state;
            unsigned char opening[16];
            if (c.opened) {
                TelnetOpening(&state, opening);
            }
            EXPECT_EQ(Decode(&state, c.server + "x", split), "x");
            EXPECT_EQ(Replies(state), c.replies);
        }
    }
}

TEST(TelnetNegotiation, OpensWithItsRequestsAndNotesTheComPortAnswer) {
    TelnetState state;
    unsigned char opening[16];
    std::size_t length = TelnetOpening(&state, opening);
    EXPECT_EQ(Bytes(opening, opening + length),
              Bytes("\xFF\xFB,\xFF\xFB\x00\xFF\xFD\x00\xFF\xFB\x03\xFF\xFD\x03", 15));
    constexpr int kComPort = static_cast<int>(TelnetOption::kComPort);
    Decode(&state, "\xFF\xFD,", false);
    EXPECT_TRUE(state.local[kComPort].on);
    EXPECT_FALSE(state.com_port_refused);
    EXPECT_EQ(Replies(state), "");

    TelnetState refused;
    TelnetOpening(&refused, opening);
    Decode(&refused, "\xFF\xFE,", false);
    EXPECT_FALSE(refused.local[kComPort].on);
    EXPECT_TRUE(refused.com_port_refused);
    EXPECT_EQ(Replies(refused), "");
}

}  // namespace
