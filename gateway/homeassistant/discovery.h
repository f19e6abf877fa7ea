// Home Assistant's MQTT discovery: the retained configs that make each
// module a device under the gateway, with an entity per reading and per
// writable limit:
//   PREFIX/sensor/NODE/LINK_MODULE_POLL/config         a value query
//   PREFIX/binary_sensor/NODE/LINK_MODULE_POLL/config  a "di" or "rb" bit
//   PREFIX/switch/NODE/LINK_MODULE_POLL/config         an "rb" bit the module may set and clear
//   PREFIX/number/NODE/LINK_MODULE_COMMAND/config      a writable hi, lo, sp, ts, tz or ao
//   PREFIX/binary_sensor/NODE/gateway/config           the gateway's own connection
// Each names the reading's topic and template, the module's and the
// gateway's availability (both must be online), and the command topic of a
// writable entity.
#ifndef QOR_GATEWAY_HOMEASSISTANT_H
#define QOR_GATEWAY_HOMEASSISTANT_H

#include <map>
#include <string>

#include "gateway/core/config.h"

namespace qor::gateway {

// Topic to payload; empty when discovery is off.
std::map<std::string, std::string> DiscoveryConfigs(const Config &config);

}  // namespace qor::gateway

#endif
