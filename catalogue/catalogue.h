// The library's commands as the front ends see them (qor, qor-gateway, the
// Python package, the help texts): one row per export, with its letters,
// its names, its arguments and their limits, what it returns, whether a
// poll may repeat it, and why a retry must not. The rows are data only: the
// catalogue links nothing of the library, and each front end keeps its own
// small map from a row to the call it makes. The protocol's own table,
// engine/command_table.h, stays the truth about frames; a static_assert
// below ties the two together.
#ifndef QOR_CATALOGUE_CATALOGUE_H
#define QOR_CATALOGUE_CATALOGUE_H

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/command_table.h"
#include "qor_dll.h"

namespace qor::catalogue {

// What one argument is; each has its limits in kArgs.
enum class ArgKind {
    kValue,      // decimal number, rounds to within +-99999.99
    kMode,       // optional trailing "L" or "M"
    kByte,       // 0..255
    kOptByte,    // optional second byte
    kDiCount,    // 1..24 input bytes
    kDiIndex,    // 1..count, 1 is the last byte of the reply
    kDiBit,      // 0..7
    kBitNumber,  // 0..63
};

// What a command returns on success.
enum class ResultKind {
    kValue,  // a value with two decimals
    kLimit,  // a value and the alarm mode
    kCount,  // an integer count
    kBit,    // 0 or 1
    kNone,   // nothing but its status
};

// Magnitudes from here on round to 100000.00, which no value field carries:
// the library refuses them, and so does every front end before sending.
constexpr double kValueLimit = QOR_VALUE_LIMIT;
// The largest value a field shows, "+99999.99".
constexpr double kValueMax = 99999.99;

struct ArgInfo {
    ArgKind kind;
    const char *word;  // as a synopsis shows it: "VALUE", "[L|M]"
    bool optional;
    long low;   // integer arguments: the range; kDiIndex's high is the count
    long high;  // given before it, at most this
};

constexpr ArgInfo kArgs[] = {
    {ArgKind::kValue, "VALUE", false, 0, 0},    {ArgKind::kMode, "[L|M]", true, 0, 0},
    {ArgKind::kByte, "BYTE", false, 0, 255},    {ArgKind::kOptByte, "[BYTE]", true, 0, 255},
    {ArgKind::kDiCount, "COUNT", false, 1, 24}, {ArgKind::kDiIndex, "INDEX", false, 1, 24},
    {ArgKind::kDiBit, "BIT", false, 0, 7},      {ArgKind::kBitNumber, "BIT", false, 0, 63},
};

constexpr const ArgInfo &ArgOf(ArgKind kind) {
    return kArgs[static_cast<std::size_t>(kind)];
}

constexpr std::size_t kMaxArgs = 3;

// One row per export of the protocol library.
struct Command {
    CommandCode code;         // the engine's row
    const char *letters;      // "RD", as the engine's row has them
    const char *word;         // "rd": the letters as typed, topics and methods
    const char *descriptive;  // "read": the Python package's other name
    const char *export_name;  // "QOR_RD"
    std::size_t arg_count;
    ArgKind args[kMaxArgs];
    ResultKind result;
    bool query;  // reads without changing anything: poll and the gateway repeat it
    // Why a second run after a lost reply could do harm, or nullptr when a
    // second run leaves the module as one run does (retries repeat only those).
    const char *repeat_hazard;
    const char *summary;  // "read the current value"
};

// Which commands a retry may repeat after a lost reply or a failed write:
// those whose second run leaves the module as one run does. Reads are safe
// (EC is a read that clears); writes of absolute values (limits, setpoint,
// trims, outputs, bits) and the alarm switches are safe; commands that act
// on the moment (calibration, zero, reset) or consume state (EC) are not,
// and their row says why.
constexpr const char *kClears =
    "it clears the counter: if the first reply was lost, its count is lost with it";
constexpr const char *kCalibrates =
    "it calibrates on the input of the moment: a second run calibrates again on a later one";
constexpr const char *kZeroes =
    "it takes the reading of the moment as zero: a second run takes a later one";
constexpr const char *kResets =
    "it resets the module: a second reset may hit a module that is still restarting";

using A = ArgKind;
using R = ResultKind;

// In the order the help lists them: queries, then what changes the module.
// One row a line, columns aligned: a table is easier read as one.
// clang-format off
constexpr Command kCatalogue[] = {
//   code letters word descriptive             export    args
//       result     query  repeat_hazard  summary
    {RD, "RD", "rd", "read",                  "QOR_RD", 0, {},
     R::kValue, true,  nullptr, "read the current value"},
    {ND, "ND", "nd", "read_new",              "QOR_ND", 0, {},
     R::kValue, true,  nullptr, "read a new value"},
    {RZ, "RZ", "rz", "read_relative",         "QOR_RZ", 0, {},
     R::kValue, true,  nullptr, "read the zero value"},
    {RH, "RH", "rh", "high_limit",            "QOR_RH", 0, {},
     R::kLimit, true,  nullptr, "read the high alarm limit and its mode"},
    {RL, "RL", "rl", "low_limit",             "QOR_RL", 0, {},
     R::kLimit, true,  nullptr, "read the low alarm limit and its mode"},
    {RE, "RE", "re", "event_count",           "QOR_RE", 0, {},
     R::kCount, true,  nullptr, "read the event counter"},
    {EC, "EC", "ec", "clear_event_count",     "QOR_EC", 0, {},
     R::kCount, false, kClears, "read and clear the event counter (after WE)"},
    {CA, "CA", "ca", "calibrate",             "QOR_CA", 0, {},
     R::kNone,  false, kCalibrates, "calibrate (after WE)"},
    {CE, "CE", "ce", "calibrate_second_step", "QOR_CE", 0, {},
     R::kNone,  false, kCalibrates, "calibrate, second step (after WE)"},
    {CZ, "CZ", "cz", "zero",                  "QOR_CZ", 0, {},
     R::kNone,  false, kZeroes, "calibrate zero (after WE)"},
    {DA, "DA", "da", "disable_alarms",        "QOR_DA", 0, {},
     R::kNone,  false, nullptr, "disable alarms (after WE)"},
    {EA, "EA", "ea", "enable_alarms",         "QOR_EA", 0, {},
     R::kNone,  false, nullptr, "enable alarms (after WE)"},
    {RR, "RR", "rr", "reset",                 "QOR_RR", 0, {},
     R::kNone,  false, kResets, "reset the module (after WE)"},
    {HI, "HI", "hi", "set_high_limit",        "QOR_HI", 2, {A::kValue, A::kMode},
     R::kNone,  false, nullptr, "set the high alarm limit (after WE)"},
    {LO, "LO", "lo", "set_low_limit",         "QOR_LO", 2, {A::kValue, A::kMode},
     R::kNone,  false, nullptr, "set the low alarm limit (after WE)"},
    {SP, "SP", "sp", "set_setpoint",          "QOR_SP", 1, {A::kValue},
     R::kNone,  false, nullptr, "set the setpoint (after WE)"},
    {TS, "TS", "ts", "set_span_trim",         "QOR_TS", 1, {A::kValue},
     R::kNone,  false, nullptr, "trim the span (after WE)"},
    {TZ, "TZ", "tz", "set_zero_trim",         "QOR_TZ", 1, {A::kValue},
     R::kNone,  false, nullptr, "trim the zero (after WE)"},
    {AO, "AO", "ao", "set_analog_output",     "QOR_AO", 1, {A::kValue},
     R::kNone,  false, nullptr, "set the analog output"},
    {DO, "DO", "do", "set_digital_outputs",   "QOR_DO", 2, {A::kByte, A::kOptByte},
     R::kNone,  false, nullptr, "set the digital outputs"},
    {DI, "DI", "di", "digital_input",         "QOR_DI", 3, {A::kDiCount, A::kDiIndex, A::kDiBit},
     R::kBit,   true,  nullptr, "read one digital input bit"},
    {RB, "RB", "rb", "bit",                   "QOR_RB", 1, {A::kBitNumber},
     R::kBit,   true,  nullptr, "read a bit by number"},
    {SB, "SB", "sb", "set_bit",               "QOR_SB", 1, {A::kBitNumber},
     R::kNone,  false, nullptr, "set a bit by number"},
    {CB, "CB", "cb", "clear_bit",             "QOR_CB", 1, {A::kBitNumber},
     R::kNone,  false, nullptr, "clear a bit by number"},
};
// clang-format on

constexpr std::size_t kCatalogueSize = sizeof kCatalogue / sizeof kCatalogue[0];

// The engine's commands that no export names: the library sends them
// itself, as steps of other commands.
constexpr CommandCode kLibrarySteps[] = {ACK, WE};

namespace detail {

constexpr bool SameText(const char *a, const char *b) {
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

constexpr bool LowerOf(const char *letters, const char *word) {
    for (; *letters != '\0' && *letters - 'A' + 'a' == *word; ++letters, ++word) {
    }
    return *letters == '\0' && *word == '\0';
}

constexpr bool IsExportOf(const char *export_name, const char *letters) {
    const char *prefix = "QOR_";
    for (; *prefix != '\0'; ++prefix, ++export_name) {
        if (*export_name != *prefix) {
            return false;
        }
    }
    return SameText(export_name, letters);
}

constexpr int RowsFor(CommandCode code) {
    int rows = 0;
    for (const Command &c : kCatalogue) {
        rows += c.code == code ? 1 : 0;
    }
    for (CommandCode step : kLibrarySteps) {
        rows += step == code ? 1 : 0;
    }
    return rows;
}

// Every engine command has exactly one row here or is a library step, and
// every row's letters, word and export name are the engine's letters.
constexpr bool MatchesEngine() {
    for (std::int32_t code = 0; code < kCommandCount; ++code) {
        if (RowsFor(static_cast<CommandCode>(code)) != 1) {
            return false;
        }
    }
    for (const Command &c : kCatalogue) {
        const char *engine = CommandOf(c.code).letters;
        if (!SameText(engine, c.letters) || !LowerOf(engine, c.word) ||
            !IsExportOf(c.export_name, engine)) {
            return false;
        }
    }
    return true;
}

constexpr bool ArgsInKindOrder() {
    for (std::size_t i = 0; i < sizeof kArgs / sizeof kArgs[0]; ++i) {
        if (static_cast<std::size_t>(kArgs[i].kind) != i) {
            return false;
        }
    }
    return true;
}

}  // namespace detail

static_assert(detail::MatchesEngine(),
              "every command of engine/command_table.h needs one catalogue row (or is a library "
              "step), under the engine's letters");
static_assert(detail::ArgsInKindOrder(), "kArgs rows must follow ArgKind");

// What one exchange puts on the wire, with the library's framing settings
// at their defaults (one address character, no frame checksum, the short
// reply layout): the frame "$1RD" and CR, the reply "*+00072.10" and CR. The
// gateway prices a plan of polls on a line's rate with these.
constexpr std::size_t kFrameFraming = 3;     // the prompt, the address, the CR
constexpr std::size_t kReplyFraming = 2;     // "*" and the CR
constexpr std::size_t kValueFieldChars = 9;  // "+00072.10"
constexpr std::size_t kCountChars = 7;       // "0001234"

constexpr std::size_t FrameDataChars(FrameData data) {
    switch (data) {
        case FrameData::kBitNumber:
            return 2;
        case FrameData::kOutputBytes:
            return 4;  // two bytes at most
        case FrameData::kValue:
            return kValueFieldChars;
        case FrameData::kValueAndMode:
            return kValueFieldChars + 1;  // with its mode letter
        case FrameData::kNothing:
            break;
    }
    return 0;
}

// The whole frame of a row's command, in characters.
constexpr std::size_t FrameChars(const Command &c) {
    std::size_t letters = 0;
    while (c.letters[letters] != '\0') {
        ++letters;
    }
    return kFrameFraming + letters + FrameDataChars(CommandOf(c.code).data);
}

// The whole reply that accepts it; di_bytes: the input bytes a DI asks for.
constexpr std::size_t ReplyChars(const Command &c, std::size_t di_bytes) {
    switch (c.result) {
        case ResultKind::kValue:
            return kReplyFraming + kValueFieldChars;
        case ResultKind::kLimit:
            return kReplyFraming + kValueFieldChars + 1;  // and the mode letter
        case ResultKind::kCount:
            return kReplyFraming + kCountChars;
        case ResultKind::kBit:
            return kReplyFraming + (c.code == DI ? 2 * di_bytes : 1);  // hex digits, or "0"/"1"
        case ResultKind::kNone:
            break;
    }
    return kReplyFraming;
}

// The row of a word ("rd") or of letters ("RD"), nullptr when none.
const Command *FindWord(std::string_view word);
const Command *FindLetters(std::string_view letters);
const Command &RowOf(CommandCode code);

// A query that reads a value (with two decimals), not a count or a bit.
constexpr bool IsValueQuery(const Command &c) {
    return c.query && (c.result == ResultKind::kValue || c.result == ResultKind::kLimit);
}

// The words of the rows with query set, or without it, in table order,
// separated by `separator`: "rd nd rz rh rl re di rb".
std::string Words(bool queries, std::string_view separator);
// The same for the rows `keep` accepts: "rd nd rz rh rl" for IsValueQuery.
std::string Words(bool (*keep)(const Command &), std::string_view separator);

}  // namespace qor::catalogue

#endif  // QOR_CATALOGUE_CATALOGUE_H
