// One row per library export, made from the catalogue's rows: the parser,
// the help text, poll and the demo all read this table. Adding an export
// means one catalogue row and its call in kCalls.
#include <algorithm>

#include "cli.h"
#include "qor_dll.h"

namespace qor::cli {
namespace {

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

using Call = void (*)(int port, int address, const Invocation &invocation, Outcome &out);

// The call each catalogue row makes; names, kinds, limits and flags come
// from the catalogue (catalogue/catalogue.h).
struct RowCall {
    CommandCode code;
    Call call;
};

constexpr RowCall kCalls[] = {
    {RD, ValueQuery<QOR_RD>}, {ND, ValueQuery<QOR_ND>},
    {RZ, ValueQuery<QOR_RZ>}, {RH, LimitQuery<QOR_RH>},
    {RL, LimitQuery<QOR_RL>}, {RE, CountQuery<QOR_RE>},
    {EC, CountQuery<QOR_EC>}, {CA, Plain<QOR_CA>},
    {CE, Plain<QOR_CE>},      {CZ, Plain<QOR_CZ>},
    {DA, Plain<QOR_DA>},      {EA, Plain<QOR_EA>},
    {RR, Plain<QOR_RR>},      {HI, LimitSet<QOR_HI>},
    {LO, LimitSet<QOR_LO>},   {SP, ValueSet<QOR_SP>},
    {TS, ValueSet<QOR_TS>},   {TZ, ValueSet<QOR_TZ>},
    {AO, ValueSet<QOR_AO>},   {DO, DigitalOut},
    {DI, DigitalIn},          {RB, BitRead},
    {SB, BitWrite<QOR_SB>},   {CB, BitWrite<QOR_CB>},
};

Call CallOf(CommandCode code) {
    for (const RowCall &row : kCalls) {
        if (row.code == code) {
            return row.call;
        }
    }
    return nullptr;
}

// One row per catalogue row, in its order (the unit tests check that each
// has its call).
std::vector<CommandRow> BuildTable() {
    std::vector<CommandRow> table;
    for (const catalogue::Command &c : catalogue::kCatalogue) {
        table.push_back({c.word, c.export_name, std::vector<ArgKind>(c.args, c.args + c.arg_count),
                         c.result, c.query, c.repeat_hazard, c.summary, CallOf(c.code)});
    }
    return table;
}

const std::vector<CommandRow> kCommandTable = BuildTable();

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
