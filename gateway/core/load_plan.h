// What a configuration's polls ask of each link's line, before anything is
// opened: every poll's frame and reply at the line's rate (the catalogue's
// lengths, the target's rate and framing), once per interval. A plan above
// the line's capacity can only fall behind, slot after slot, and shows
// nowhere but in skipped slots; --check and the start say so first.
#ifndef QOR_GATEWAY_CORE_LOAD_PLAN_H
#define QOR_GATEWAY_CORE_LOAD_PLAN_H

#include <cstddef>
#include <string>
#include <vector>

#include "gateway/core/config.h"

namespace qor::gateway {

// A target's line, as far as the plan needs it.
struct Line {
    long baud = 0;       // 0: no rate is known (TCP, a pseudo-terminal)
    std::string why;     // why not, then: "socket:// carries no line rate"
    int char_bits = 10;  // start, data, parity and stop bits
    int timeout_ms = 0;
    int recovery_ms = 0;
};

// Read from a target the byte link has accepted (QOR_CheckTarget).
Line LineOf(const std::string &target);

struct LinkLoad {
    std::string link;
    Line line;
    std::size_t polls = 0;
    // Shares of the line's time: every module answering, and what the
    // module with the most polls adds while it does not (each poll then
    // waits out the time-out and the quiet time after it).
    double planned = 0;
    double silent_module = 0;
    std::string busiest;  // that module
};

// One per link, in the configuration's order.
std::vector<LinkLoad> PlanLoad(const Config &config);

enum class LoadLevel { kUnknown, kFits, kTight, kOver };
// Above 70 % of the line is tight (a silent module, a command or a retry
// then makes polls late), above 100 % over; as rounded to a whole percent.
LoadLevel LevelOf(const LinkLoad &load);
// "link hall1-bus1 needs 130 % of a 9600 baud line; polls will fall behind"
std::string LoadWarning(const LinkLoad &load);
// One line for the log and --check, whatever the level.
std::string DescribeLoad(const LinkLoad &load);
// The links over their line's capacity, one LoadWarning a line; empty when
// the plan fits.
std::string LoadRefusals(const std::vector<LinkLoad> &plan);

}  // namespace qor::gateway

#endif
