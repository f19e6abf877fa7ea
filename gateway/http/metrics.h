// What the HTTP server answers /metrics with, from a copy of the plant state
// and the health of every output: the Prometheus text format (version
// 0.0.4). /api/state is state_json.h's.
#ifndef QOR_GATEWAY_METRICS_H
#define QOR_GATEWAY_METRICS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/core/output.h"
#include "gateway/core/plant_state.h"

namespace qor::gateway {

// What the gateway says of itself.
struct GatewayInfo {
    std::string version;
    std::string client_id;
    bool commands = false;  // the page may send commands
};

// A label value with \, " and newlines escaped as the text format wants.
std::string EscapeLabel(std::string_view value);

std::string RenderMetrics(const PlantSnapshot &plant, const std::vector<OutputHealth> &outputs,
                          const GatewayInfo &info);

}  // namespace qor::gateway

#endif
