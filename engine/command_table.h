// Every command a frame can carry, in one table: its letters, what its frame
// carries after them, whether "WE" must be accepted first, and which outcome
// rules judge its reply. Frame building, the argument checks, the command
// functions, the fuzzer and the tests all read it.
#ifndef QOR_ENGINE_COMMAND_TABLE_H
#define QOR_ENGINE_COMMAND_TABLE_H

#include <cstddef>
#include <cstdint>

namespace qor {

// The command codes, in table order. The numbers are fixed: any number
// outside the table (and RD itself) frames as "RD".
enum CommandCode : std::int32_t {
    ACK = 0,
    AO = 1,
    CA = 2,
    CB = 3,
    CE = 4,
    CZ = 5,
    DA = 6,
    DI = 7,
    DO = 8,
    EA = 9,
    EC = 10,
    HI = 11,
    LO = 12,
    RB = 13,
    RD = 14,
    RE = 15,
    RH = 16,
    RL = 17,
    RR = 18,
    RZ = 19,
    ND = 20,
    SB = 21,
    SP = 22,
    TS = 23,
    TZ = 24,
    WE = 25,
};

// What follows the command letters in a frame.
enum class FrameData {
    kNothing,
    kBitNumber,     // two hex digits, the bit number's low 6 bits
    kOutputBytes,   // one or two bytes, two hex digits each
    kValue,         // the nine-character value field, "+00072.10"
    kValueAndMode,  // the value field and "M", "L" or no letter
};

// Which outcome rules judge a step's reply.
enum class OutcomeRules {
    kAllRules,         // not written, nothing captured, error reply, bad checksum
    kRulesWithoutSum,  // the same without the reply checksum test
};

struct CommandInfo {
    CommandCode code;
    const char *letters;
    FrameData data;
    bool after_we;  // sent only once a "WE" frame has been accepted
    OutcomeRules rules;
};

constexpr CommandInfo kCommands[] = {
    {ACK, "ACK", FrameData::kNothing, false, OutcomeRules::kAllRules},
    {AO, "AO", FrameData::kValue, false, OutcomeRules::kAllRules},
    {CA, "CA", FrameData::kNothing, true, OutcomeRules::kAllRules},
    {CB, "CB", FrameData::kBitNumber, false, OutcomeRules::kRulesWithoutSum},
    {CE, "CE", FrameData::kNothing, true, OutcomeRules::kAllRules},
    {CZ, "CZ", FrameData::kNothing, true, OutcomeRules::kAllRules},
    {DA, "DA", FrameData::kNothing, true, OutcomeRules::kAllRules},
    {DI, "DI", FrameData::kNothing, false, OutcomeRules::kAllRules},
    {DO, "DO", FrameData::kOutputBytes, false, OutcomeRules::kAllRules},
    {EA, "EA", FrameData::kNothing, true, OutcomeRules::kAllRules},
    {EC, "EC", FrameData::kNothing, true, OutcomeRules::kAllRules},
    {HI, "HI", FrameData::kValueAndMode, true, OutcomeRules::kAllRules},
    {LO, "LO", FrameData::kValueAndMode, true, OutcomeRules::kAllRules},
    {RB, "RB", FrameData::kBitNumber, false, OutcomeRules::kAllRules},
    {RD, "RD", FrameData::kNothing, false, OutcomeRules::kAllRules},
    {RE, "RE", FrameData::kNothing, false, OutcomeRules::kAllRules},
    {RH, "RH", FrameData::kNothing, false, OutcomeRules::kAllRules},
    {RL, "RL", FrameData::kNothing, false, OutcomeRules::kAllRules},
    {RR, "RR", FrameData::kNothing, true, OutcomeRules::kAllRules},
    {RZ, "RZ", FrameData::kNothing, false, OutcomeRules::kAllRules},
    {ND, "ND", FrameData::kNothing, false, OutcomeRules::kAllRules},
    {SB, "SB", FrameData::kBitNumber, false, OutcomeRules::kRulesWithoutSum},
    {SP, "SP", FrameData::kValue, true, OutcomeRules::kAllRules},
    {TS, "TS", FrameData::kValue, true, OutcomeRules::kAllRules},
    {TZ, "TZ", FrameData::kValue, true, OutcomeRules::kAllRules},
    {WE, "WE", FrameData::kNothing, false, OutcomeRules::kAllRules},
};

constexpr std::int32_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

constexpr bool RowsFollowTheCodes() {
    for (std::int32_t i = 0; i < kCommandCount; ++i) {
        if (kCommands[i].code != i) {
            return false;
        }
    }
    return true;
}

// A frame's letters are looked up by code: the rows must stand in code order.
static_assert(RowsFollowTheCodes(), "kCommands rows must follow CommandCode");
static_assert(kCommandCount == WE + 1, "every CommandCode needs a row in kCommands");

// The row for `code`; codes outside the table get the "RD" row.
constexpr const CommandInfo &CommandOf(std::int32_t code) {
    return (code >= 0 && code < kCommandCount) ? kCommands[code] : kCommands[RD];
}

// True when the frame for `code` carries a value field.
constexpr bool CarriesValue(std::int32_t code) {
    FrameData data = CommandOf(code).data;
    return data == FrameData::kValue || data == FrameData::kValueAndMode;
}

}  // namespace qor

#endif  // QOR_ENGINE_COMMAND_TABLE_H
