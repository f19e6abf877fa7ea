// What the registers of the map read and what a write to them means, as
// pure functions of the configuration, a module's view in the plant state
// and the time given: the server (modbus_server.h) does the I/O around
// them, and the tests can set every age and byte exactly.
#ifndef QOR_GATEWAY_MODBUS_REGISTERS_H
#define QOR_GATEWAY_MODBUS_REGISTERS_H

#include <chrono>
#include <cstdint>
#include <vector>

#include "gateway/core/config.h"
#include "gateway/core/intake.h"
#include "gateway/core/plant_state.h"
#include "gateway/modbus/modbus_map.h"

namespace qor::gateway {

// Modbus's exception codes, as the server answers them; kOk: none.
constexpr int kOk = 0;
constexpr int kIllegalFunction = 0x01;
constexpr int kIllegalAddress = 0x02;
constexpr int kIllegalValue = 0x03;
constexpr int kDeviceFailure = 0x04;
constexpr int kBusy = 0x06;
constexpr int kNoPath = 0x0A;
constexpr int kNoAnswer = 0x0B;

// A big-endian 16-bit field of a PDU.
int Field(const unsigned char *pdu, int at);

// The registers of one entry (two for a 32-bit value) at `now`, or the
// exception that stands for them: a value whose last good reading is older
// than max_age_s, or any value of an offline module, has none.
int EntryWords(const Config &config, const MapEntry &entry, const ModuleView &module,
               std::chrono::steady_clock::time_point now, unsigned short *words);
// The documented stand-ins of a register that has no current value.
void Marker(const MapEntry &entry, unsigned short *words);

struct WriteRequest {
    int code = kOk;
    int unit = 0;
    RegisterTable table = RegisterTable::kHoldingRegister;
    int address = 0;
    int count = 1;
    const unsigned char *data = nullptr;  // the values: coils as bits, registers as words
};

// The parts of a write request (functions 5, 6, 15, 16), whose PDU the
// framing has found whole, or the exception for a count or a byte count out
// of range.
WriteRequest ParseWrite(int unit, const unsigned char *pdu);

// The value item i of a write gives its entry (a single coil's FF00 has
// its low bit set like a 1 among many).
double WrittenValue(const MapEntry &entry, const unsigned char *data, int i, WordOrder order);

struct PlannedWrite {
    const MapEntry *entry;
    double value;
};

// The entries a write covers and the value of each, or the exception: every
// address must begin a whole writable entry before anything runs.
int PlanWrite(const ModbusMap &map, const ModbusSpec &spec, const WriteRequest &write,
              std::vector<PlannedWrite> *writes);

// The exception that answers a command's result, kOk when it ran well.
int ExceptionFor(const CommandResult &result);

}  // namespace qor::gateway

#endif
