#include "catalogue/calls.h"

namespace qor::catalogue {
namespace {

// Adapters from CallArgs to each export's signature, one per shape. The
// pointer types carry the header's calling convention (__stdcall on 32-bit
// Windows), or the exports would not match them there.
template <float(QOR_CALL *F)(int, int, int *, int *)>
void ValueQuery(int port, int address, const CallArgs &, CallResult &o) {
    o.value = F(port, address, &o.status, &o.error);
}

template <float(QOR_CALL *F)(int, int, int *, int *, int *)>
void LimitQuery(int port, int address, const CallArgs &, CallResult &o) {
    o.value = F(port, address, &o.mode, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int *, int *)>
void CountQuery(int port, int address, const CallArgs &, CallResult &o) {
    o.count = F(port, address, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int *, int *)>
void Plain(int port, int address, const CallArgs &, CallResult &o) {
    F(port, address, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int, float, int *, int *)>
void LimitSet(int port, int address, const CallArgs &a, CallResult &o) {
    F(port, address, a.mode, a.value, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, float, int *, int *)>
void ValueSet(int port, int address, const CallArgs &a, CallResult &o) {
    F(port, address, a.value, &o.status, &o.error);
}

template <int(QOR_CALL *F)(int, int, int, int *, int *)>
void BitWrite(int port, int address, const CallArgs &a, CallResult &o) {
    F(port, address, a.ints[0], &o.status, &o.error);
}

void BitRead(int port, int address, const CallArgs &a, CallResult &o) {
    o.count = QOR_RB(port, address, a.ints[0], &o.status, &o.error);
}

void DigitalOut(int port, int address, const CallArgs &a, CallResult &o) {
    // One byte goes out as byteB alone; two go out as byteA then byteB.
    if (a.int_count == 1) {
        QOR_DO(port, address, 0, a.ints[0], 1, &o.status, &o.error);
    } else {
        QOR_DO(port, address, a.ints[0], a.ints[1], 2, &o.status, &o.error);
    }
}

void DigitalIn(int port, int address, const CallArgs &a, CallResult &o) {
    o.count = QOR_DI(port, address, a.ints[0], a.ints[1], a.ints[2], &o.status, &o.error);
}

using Adapter = void (*)(int port, int address, const CallArgs &args, CallResult &out);

struct RowCall {
    CommandCode code;
    Adapter call;
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

Adapter AdapterOf(CommandCode code) {
    for (const RowCall &row : kCalls) {
        if (row.code == code) {
            return row.call;
        }
    }
    return nullptr;
}

}  // namespace

bool Call(const Command &row, int port, int address, const CallArgs &args, CallResult &out) {
    const Adapter call = AdapterOf(row.code);
    if (call == nullptr) {
        return false;
    }
    call(port, address, args, out);
    return true;
}

bool HasCall(const Command &row) {
    return AdapterOf(row.code) != nullptr;
}

}  // namespace qor::catalogue
