// What the gateway polls: the library's read-only queries, by name, and one
// poll's outcome.
#ifndef QOR_GATEWAY_QUERIES_H
#define QOR_GATEWAY_QUERIES_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "catalogue/catalogue.h"
#include "gateway/core/report.h"

namespace qor::gateway {

// A read-only query of the catalogue, by its row's command code: every
// catalogue row with its query flag is one, named here only where the
// gateway treats it apart.
enum class Query : std::int32_t {
    kRd = RD,
    kNd = ND,
    kRz = RZ,
    kRh = RH,
    kRl = RL,
    kRe = RE,
    kRb = RB,
    kDi = DI,
};

std::optional<Query> QueryFromName(std::string_view name);
const char *QueryName(Query query);
// Queries that take a bit number ("rb", "di"), and the one that also takes
// a byte count and a byte index ("di").
bool QueryTakesBit(Query query);
bool QueryTakesBytes(Query query);
// The highest bit such a query takes: 7 of a byte ("di"), 63 of a number ("rb").
int QueryHighestBit(Query query);
// Queries that read a value with two decimals ("rd" ... "rl"), not a count
// or a bit: the ones a scale and an offset apply to.
bool QueryGivesValue(Query query);

// One entry of a module's poll list. name is the last part of the reading's
// topic: the query's name unless the configuration gives another.
struct PollSpec {
    std::string name;
    Query query = Query::kRd;
    std::chrono::milliseconds interval{1000};
    int bytes = 1;  // "di": bytes in the reply
    int byte = 1;   // "di": 1 is the last byte
    int bit = 0;    // "rb", "di"
    // What the value is: the unit is shown beside the value on the status
    // page; all three go into Home Assistant's discovery.
    std::string unit;          // unit_of_measurement
    std::string device_class;  // temperature, pressure, door...
    std::string state_class;   // measurement, total, total_increasing
    std::string display_name;  // "name": what Home Assistant calls it; default the poll's name
    Scaling scaling;           // the value published, and the limit written through hi or lo
    ReportRule report;         // by exception, when on
};

struct Reading {
    int status = 0;
    int error = 0;
    double value = 0;  // the protocol's two decimals, or an integer; scaled: the engineering value
    bool integral = false;   // counts and bits
    int mode = -1;           // "rh", "rl": 1 latching, 0 momentary, -1 neither
    std::string error_text;  // the module's error reply, where there is one
    std::chrono::system_clock::time_point when;
    std::uint64_t seq = 0;        // 1, 2, 3... per topic, continued across reloads and restarts
    std::uint64_t boot = 0;       // the gateway's start it was taken in
    std::optional<double> raw{};  // the module's own value, where the poll scales it
};

// Runs one transaction on the port; fills status, error, value and mode.
Reading RunQuery(int port, char address, const PollSpec &poll);

// Rounds a float the library returned to the two decimals the protocol
// carries, so that JSON shows 72.1 rather than 72.09999847.
double TwoDecimals(float value);

}  // namespace qor::gateway

#endif
