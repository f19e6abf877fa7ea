// One row per library export: the parser, the help text, poll and the demo
// all read this table, so adding an export means adding one row.
#include <algorithm>

#include "cli.h"
#include "qor_dll.h"

namespace qor::cli {
namespace {

using A = ArgKind;
using R = ResultKind;

// Adapters from an Invocation to each export's signature, one per shape.
// The pointer types carry the header's calling convention (__stdcall on
// 32-bit Windows), or the exports would not match them there.
template <float(QOR_CALL *F)(int, int, int *, int *)>
void ValueQuery(int port, int address, const Invocation &, Outcome &o) {
    o.value = F(port, address, &o.status, &o.error);
}

template <float(QOR_CALL *F)(int, int, int *, int *, int *)>
void LimitQuery(int port, int address, const Invocation &, Outcome &o) {
    o.value = F(port, address, &o.mode, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int *, int *)>
void CountQuery(int port, int address, const Invocation &, Outcome &o) {
    o.count = F(port, address, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int *, int *)>
void Plain(int port, int address, const Invocation &, Outcome &o) {
    F(port, address, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int, float, int *, int *)>
void LimitSet(int port, int address, const Invocation &invocation, Outcome &o) {
    F(port, address, invocation.mode, invocation.value, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, float, int *, int *)>
void ValueSet(int port, int address, const Invocation &invocation, Outcome &o) {
    F(port, address, invocation.value, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int, int *, int *)>
void BitWrite(int port, int address, const Invocation &invocation, Outcome &o) {
    F(port, address, invocation.ints.at(0), &o.status, &o.error);
}

void BitRead(int port, int address, const Invocation &invocation, Outcome &o) {
    o.count = QOR_RB(port, address, invocation.ints.at(0), &o.status, &o.error);
}

void DigitalOut(int port, int address, const Invocation &invocation, Outcome &o) {
    // One byte goes out as byteB alone; two go out as byteA then byteB.
    if (invocation.ints.size() == 1) {
        QOR_DO(port, address, 0, invocation.ints[0], 1, &o.status, &o.error);
    } else {
        QOR_DO(port, address, invocation.ints.at(0), invocation.ints.at(1), 2, &o.status, &o.error);
    }
}

void DigitalIn(int port, int address, const Invocation &invocation, Outcome &o) {
    o.count = QOR_DI(port, address, invocation.ints.at(0), invocation.ints.at(1),
                     invocation.ints.at(2), &o.status, &o.error);
}

// Which commands --retries may repeat after a lost reply or a failed write:
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

// At namespace scope rather than in CommandTable(): a table is data, not a
// function to keep short.
const std::vector<CommandRow> kCommandTable = {
    {"rd", "QOR_RD", {}, R::kValue, true, nullptr, "read the current value", ValueQuery<QOR_RD>},
    {"nd", "QOR_ND", {}, R::kValue, true, nullptr, "read a new value", ValueQuery<QOR_ND>},
    {"rz", "QOR_RZ", {}, R::kValue, true, nullptr, "read the zero value", ValueQuery<QOR_RZ>},
    {"rh",
     "QOR_RH",
     {},
     R::kLimit,
     true,
     nullptr,
     "read the high alarm limit and its mode",
     LimitQuery<QOR_RH>},
    {"rl",
     "QOR_RL",
     {},
     R::kLimit,
     true,
     nullptr,
     "read the low alarm limit and its mode",
     LimitQuery<QOR_RL>},
    {"re", "QOR_RE", {}, R::kCount, true, nullptr, "read the event counter", CountQuery<QOR_RE>},
    {"ec",
     "QOR_EC",
     {},
     R::kCount,
     false,
     kClears,
     "read and clear the event counter (after WE)",
     CountQuery<QOR_EC>},
    {"ca", "QOR_CA", {}, R::kNone, false, kCalibrates, "calibrate (after WE)", Plain<QOR_CA>},
    {"ce",
     "QOR_CE",
     {},
     R::kNone,
     false,
     kCalibrates,
     "calibrate, second step (after WE)",
     Plain<QOR_CE>},
    {"cz", "QOR_CZ", {}, R::kNone, false, kZeroes, "calibrate zero (after WE)", Plain<QOR_CZ>},
    {"da", "QOR_DA", {}, R::kNone, false, nullptr, "disable alarms (after WE)", Plain<QOR_DA>},
    {"ea", "QOR_EA", {}, R::kNone, false, nullptr, "enable alarms (after WE)", Plain<QOR_EA>},
    {"rr", "QOR_RR", {}, R::kNone, false, kResets, "reset the module (after WE)", Plain<QOR_RR>},
    {"hi",
     "QOR_HI",
     {A::kValue, A::kMode},
     R::kNone,
     false,
     nullptr,
     "set the high alarm limit (after WE)",
     LimitSet<QOR_HI>},
    {"lo",
     "QOR_LO",
     {A::kValue, A::kMode},
     R::kNone,
     false,
     nullptr,
     "set the low alarm limit (after WE)",
     LimitSet<QOR_LO>},
    {"sp",
     "QOR_SP",
     {A::kValue},
     R::kNone,
     false,
     nullptr,
     "set the setpoint (after WE)",
     ValueSet<QOR_SP>},
    {"ts",
     "QOR_TS",
     {A::kValue},
     R::kNone,
     false,
     nullptr,
     "trim the span (after WE)",
     ValueSet<QOR_TS>},
    {"tz",
     "QOR_TZ",
     {A::kValue},
     R::kNone,
     false,
     nullptr,
     "trim the zero (after WE)",
     ValueSet<QOR_TZ>},
    {"ao",
     "QOR_AO",
     {A::kValue},
     R::kNone,
     false,
     nullptr,
     "set the analog output",
     ValueSet<QOR_AO>},
    {"do",
     "QOR_DO",
     {A::kByte, A::kOptByte},
     R::kNone,
     false,
     nullptr,
     "set the digital outputs",
     DigitalOut},
    {"di",
     "QOR_DI",
     {A::kDiCount, A::kDiIndex, A::kDiBit},
     R::kBit,
     true,
     nullptr,
     "read one digital input bit",
     DigitalIn},
    {"rb", "QOR_RB", {A::kBitNumber}, R::kBit, true, nullptr, "read a bit by number", BitRead},
    {"sb",
     "QOR_SB",
     {A::kBitNumber},
     R::kNone,
     false,
     nullptr,
     "set a bit by number",
     BitWrite<QOR_SB>},
    {"cb",
     "QOR_CB",
     {A::kBitNumber},
     R::kNone,
     false,
     nullptr,
     "clear a bit by number",
     BitWrite<QOR_CB>},
};

}  // namespace

const std::vector<CommandRow> &CommandTable() {
    return kCommandTable;
}

const CommandRow *FindCommand(std::string_view name) {
    auto it = std::find_if(kCommandTable.begin(), kCommandTable.end(),
                           [&](const CommandRow &c) { return name == c.name; });
    return it == kCommandTable.end() ? nullptr : &*it;
}

}  // namespace qor::cli
