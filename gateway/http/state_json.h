// The JSON of /api/state, which the status page and scripts read: the
// gateway, its outputs, every link with its modules and polls, the last
// events. Given the cursor of an earlier answer it sends, of the links'
// modules, only those that changed since (a new value, status, error,
// availability or alarm, or a reading that went stale meanwhile), and of
// the events only the newer ones: the page then asks for a few hundred
// bytes a second rather than the whole plant.
#ifndef QOR_GATEWAY_HTTP_STATE_JSON_H
#define QOR_GATEWAY_HTTP_STATE_JSON_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/core/load_plan.h"
#include "gateway/core/output.h"
#include "gateway/core/plant_state.h"
#include "gateway/http/metrics.h"
#include "gateway/http/problems.h"

namespace qor::gateway {

// Where a reader's last answer left it: the gateway's start (another start
// numbers its changes anew), the plant's version and the steady clock then.
struct Cursor {
    std::uint64_t started_ms = 0;
    std::uint64_t version = 0;
    std::uint64_t steady_ms = 0;
};

// "STARTED-VERSION-STEADY", as the answers carry it; nothing for any other
// text.
std::optional<Cursor> ParseCursor(std::string_view text);
std::string CursorText(const PlantSnapshot &s);
// Whether a cursor can be answered with changes: taken from this start,
// after the present layout, and not from the future.
bool CursorFits(const Cursor &cursor, const PlantSnapshot &s);

// What the HTTP output knows beside the plant state and the outputs' health.
struct StateExtras {
    std::optional<Cursor> since;  // set and fitting: changes only
    std::vector<Problem> problems;
    std::vector<LinkLoad> plan;  // by link, as the running configuration has them
};

// The outputs' details go under "outputs"; the JSON topics' broker and
// queue stay where scripts read them, at the top.
std::string RenderState(const PlantSnapshot &s, const std::vector<OutputHealth> &outputs,
                        const GatewayInfo &info, const StateExtras &extras = {});

}  // namespace qor::gateway

#endif
