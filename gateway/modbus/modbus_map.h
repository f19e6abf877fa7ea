// The register map the Modbus server answers from, made from the
// configuration alone, and its printed forms (qor-gateway --print-modbus-map).
//
// Every module is a block of `block` addresses in each of the four tables,
// block k of its unit starting at k * block. In a block:
//   input registers   0 availability (0 unknown, 1 online, 2 offline)
//                     1 last status, 2 last error of the module's polls
//                     3 age of its last good reading in s (65535: none yet)
//                     4...  the value queries (rd nd rz rh rl re), by poll
//                           name: a float in two registers ("re": an
//                           unsigned 32-bit count), or one scaled register
//   discrete inputs   0...  the bit polls (di, and rb unless it is a coil), by name
//   coils             0...  rb polls of modules that may write sb and cb
//   holding registers 0...  the writable commands that take a value (hi lo
//                           sp ts tz ao: a float or one scaled register; do:
//                           the outputs as one register), in writable order
#ifndef QOR_GATEWAY_MODBUS_MAP_H
#define QOR_GATEWAY_MODBUS_MAP_H

#include <cstddef>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "gateway/core/commands.h"
#include "gateway/core/config.h"

namespace qor::gateway {

enum class RegisterTable { kCoil, kDiscreteInput, kHoldingRegister, kInputRegister };
enum class Encoding { kBit, kFloat32, kUint32, kInt16, kUint16 };
enum class Source { kAvailability, kLastStatus, kLastError, kAge, kPoll, kCommand };

struct MapEntry {
    int unit = 1;
    RegisterTable table = RegisterTable::kInputRegister;
    int address = 0;  // as on the wire, from 0
    int width = 1;    // registers (bits: 1)
    Encoding encoding = Encoding::kUint16;
    double scale = 1;  // kInt16, kUint16 of a value: register = round(value * scale)
    std::size_t link = 0;
    std::size_t module = 0;
    Source source = Source::kPoll;
    std::size_t poll = 0;                    // Source::kPoll: its index in the module's polls
    CommandKind command = CommandKind::kHi;  // Source::kCommand; coils: sb/cb
    int bit = 0;                             // coils: the module's bit
    std::string name;                        // LINK/MODULE/NAME
};

class ModbusMap {
  public:
    // Empty with the reason when a module's entries overflow its block.
    static ModbusMap Build(const Config &config, std::string *error);

    const std::vector<MapEntry> &Entries() const { return entries_; }
    // The entry covering an address, or nullptr.
    const MapEntry *Find(int unit, RegisterTable table, int address) const;
    bool HasUnit(int unit) const;

  private:
    std::vector<MapEntry> entries_;
    std::map<std::tuple<int, int, int>, std::size_t> index_;
};

// The map as an aligned table for people, or as CSV for an HMI's import.
std::string MapTable(const Config &config, const ModbusMap &map);
std::string MapCsv(const Config &config, const ModbusMap &map);

}  // namespace qor::gateway

#endif
