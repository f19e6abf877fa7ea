// One row per library export: the parser, the help text, poll and the demo
// all read this table, so adding an export means adding one row.
#include <algorithm>

#include "cli.h"
#include "qor_dll.h"

namespace qor_cli {
namespace {

using A = ArgKind;
using R = ResultKind;

// Adapters from an Invocation to each export's signature, one per shape.
// The pointer types carry the header's calling convention (__stdcall on
// 32-bit Windows), or the exports would not match them there.
template <float(QOR_CALL *F)(int, int, int *, int *)>
void valueQuery(int port, int address, const Invocation &, Outcome &o) {
    o.value = F(port, address, &o.status, &o.error);
}

template <float(QOR_CALL *F)(int, int, int *, int *, int *)>
void limitQuery(int port, int address, const Invocation &, Outcome &o) {
    o.value = F(port, address, &o.mode, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int *, int *)>
void countQuery(int port, int address, const Invocation &, Outcome &o) {
    o.count = F(port, address, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int *, int *)>
void plain(int port, int address, const Invocation &, Outcome &o) {
    F(port, address, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int, float, int *, int *)>
void limitSet(int port, int address, const Invocation &inv, Outcome &o) {
    F(port, address, inv.mode, inv.value, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, float, int *, int *)>
void valueSet(int port, int address, const Invocation &inv, Outcome &o) {
    F(port, address, inv.value, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int, int *, int *)>
void bitWrite(int port, int address, const Invocation &inv, Outcome &o) {
    F(port, address, inv.ints.at(0), &o.status, &o.error);
}

void bitRead(int port, int address, const Invocation &inv, Outcome &o) {
    o.count = QOR_RB(port, address, inv.ints.at(0), &o.status, &o.error);
}

void digitalOut(int port, int address, const Invocation &inv, Outcome &o) {
    // One byte goes out as byteB alone; two go out as byteA then byteB.
    if (inv.ints.size() == 1) {
        QOR_DO(port, address, 0, inv.ints[0], 1, &o.status, &o.error);
    } else {
        QOR_DO(port, address, inv.ints.at(0), inv.ints.at(1), 2, &o.status, &o.error);
    }
}

void digitalIn(int port, int address, const Invocation &inv, Outcome &o) {
    o.count =
        QOR_DI(port, address, inv.ints.at(0), inv.ints.at(1), inv.ints.at(2), &o.status, &o.error);
}

}  // namespace

const std::vector<CommandRow> &commandTable() {
    static const std::vector<CommandRow> table = {
        {"rd", "QOR_RD", {}, R::Value, true, "read the current value", valueQuery<QOR_RD>},
        {"nd", "QOR_ND", {}, R::Value, true, "read a new value", valueQuery<QOR_ND>},
        {"rz", "QOR_RZ", {}, R::Value, true, "read the zero value", valueQuery<QOR_RZ>},
        {"rh",
         "QOR_RH",
         {},
         R::Limit,
         true,
         "read the high alarm limit and its mode",
         limitQuery<QOR_RH>},
        {"rl",
         "QOR_RL",
         {},
         R::Limit,
         true,
         "read the low alarm limit and its mode",
         limitQuery<QOR_RL>},
        {"re", "QOR_RE", {}, R::Count, true, "read the event counter", countQuery<QOR_RE>},
        {"ec",
         "QOR_EC",
         {},
         R::Count,
         false,
         "read and clear the event counter (after WE)",
         countQuery<QOR_EC>},
        {"ca", "QOR_CA", {}, R::None, false, "calibrate (after WE)", plain<QOR_CA>},
        {"ce", "QOR_CE", {}, R::None, false, "calibrate, second step (after WE)", plain<QOR_CE>},
        {"cz", "QOR_CZ", {}, R::None, false, "calibrate zero (after WE)", plain<QOR_CZ>},
        {"da", "QOR_DA", {}, R::None, false, "disable alarms (after WE)", plain<QOR_DA>},
        {"ea", "QOR_EA", {}, R::None, false, "enable alarms (after WE)", plain<QOR_EA>},
        {"rr", "QOR_RR", {}, R::None, false, "reset the module (after WE)", plain<QOR_RR>},
        {"hi",
         "QOR_HI",
         {A::Value, A::Mode},
         R::None,
         false,
         "set the high alarm limit (after WE)",
         limitSet<QOR_HI>},
        {"lo",
         "QOR_LO",
         {A::Value, A::Mode},
         R::None,
         false,
         "set the low alarm limit (after WE)",
         limitSet<QOR_LO>},
        {"sp",
         "QOR_SP",
         {A::Value},
         R::None,
         false,
         "set the setpoint (after WE)",
         valueSet<QOR_SP>},
        {"ts", "QOR_TS", {A::Value}, R::None, false, "trim the span (after WE)", valueSet<QOR_TS>},
        {"tz", "QOR_TZ", {A::Value}, R::None, false, "trim the zero (after WE)", valueSet<QOR_TZ>},
        {"ao", "QOR_AO", {A::Value}, R::None, false, "set the analog output", valueSet<QOR_AO>},
        {"do",
         "QOR_DO",
         {A::Byte, A::OptByte},
         R::None,
         false,
         "set the digital outputs",
         digitalOut},
        {"di",
         "QOR_DI",
         {A::DiCount, A::DiIndex, A::DiBit},
         R::Bit,
         true,
         "read one digital input bit",
         digitalIn},
        {"rb", "QOR_RB", {A::BitNumber}, R::Bit, true, "read a bit by number", bitRead},
        {"sb", "QOR_SB", {A::BitNumber}, R::None, false, "set a bit by number", bitWrite<QOR_SB>},
        {"cb", "QOR_CB", {A::BitNumber}, R::None, false, "clear a bit by number", bitWrite<QOR_CB>},
    };
    return table;
}

const CommandRow *findCommand(std::string_view name) {
    const auto &table = commandTable();
    auto it = std::find_if(table.begin(), table.end(),
                           [&](const CommandRow &c) { return name == c.name; });
    return it == table.end() ? nullptr : &*it;
}

}  // namespace qor_cli
