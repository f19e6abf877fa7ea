// What the HTTP server answers with, from a copy of the status view: the
// Prometheus text format (version 0.0.4) for /metrics and the JSON of
// /api/state, which the status page and scripts read.
#ifndef QOR_GATEWAY_METRICS_H
#define QOR_GATEWAY_METRICS_H

#include <cstdint>
#include <string>
#include <string_view>

#include "gateway/core/status_view.h"
#include "gateway/spool/outbox.h"

namespace qor::gateway {

// Figures that live outside the status view.
struct GatewayFigures {
    std::string version;
    std::string client_id;
    std::size_t queue_messages = 0;
    std::size_t queue_capacity = 0;
    std::uint64_t dropped = 0;
    bool commands = false;  // the page may send commands
    OutboxStatus delivery;  // the spool's state and the delivery counts
};

// A label value with \, " and newlines escaped as the text format wants.
std::string EscapeLabel(std::string_view value);

std::string RenderMetrics(const StatusSnapshot &status, const GatewayFigures &figures);
std::string RenderState(const StatusSnapshot &status, const GatewayFigures &figures);

}  // namespace qor::gateway

#endif
