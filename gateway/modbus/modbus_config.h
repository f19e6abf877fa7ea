// The [modbus] section: the Modbus TCP server's address, unit ids, limits,
// who may connect and how stale readings answer, and its reader.
// docs/man/qor-gateway.1 describes every key.
#ifndef QOR_GATEWAY_MODBUS_CONFIG_H
#define QOR_GATEWAY_MODBUS_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

namespace qor::gateway {

// How units are numbered: one unit per link (its place in the file, from
// 1), or one unit for the whole gateway with every module a block of it.
enum class UnitScheme { kPerLink, kGateway };
// Which register holds the high word of a 32-bit value: ABCD the first.
enum class WordOrder { kAbcd, kCdab };
// A register that cannot show a current value: exception 0x0B, or a
// documented marker value.
enum class StaleReply { kException, kMarker };

// An IPv4 network, "10.0.0.0/8"; a plain address is a /32.
struct Network {
    std::uint32_t address = 0;  // host order
    std::uint32_t mask = 0;
    bool Contains(std::uint32_t host_order) const { return (host_order & mask) == address; }
};

// A query or writable command shown as one 16-bit register: the register
// holds round(value * scale).
struct ScaledEntry {
    std::string link;
    std::string module;
    std::string name;  // a poll's name or a writable command's
    double scale = 1;
    bool is_signed = true;
};

struct ModbusSpec {
    bool enabled = false;
    std::string host = "127.0.0.1";
    int port = 502;
    UnitScheme units = UnitScheme::kPerLink;
    int unit_id = 1;  // UnitScheme::kGateway
    int block = 100;  // addresses per module in each table
    WordOrder word_order = WordOrder::kAbcd;
    int max_connections = 16;
    int max_requests_per_s = 1000;  // per connection; more are delayed
    int idle_timeout_s = 60;        // a connection that sends nothing is closed
    std::vector<Network> allow;     // empty: loopback only
    bool writes = false;
    int max_age_s = 10;
    StaleReply stale = StaleReply::kException;
    std::vector<ScaledEntry> scaled;
    unsigned line = 0;  // of [modbus], for messages about the server

    bool Allowed(std::uint32_t host_order) const;
};

// Parses "10.0.0.0/8" or "10.1.2.3"; false when it is neither.
bool ParseNetwork(const std::string &text, Network *out);

struct Config;
struct SectionInput;

// Reads [modbus] (core/section_reader.h), and checks that the register map
// it asks for can be made; outputs.cpp names it among the file's sections.
void ReadModbusSection(SectionInput &input, Config *config);

}  // namespace qor::gateway

#endif
