// The [homeassistant] section: Home Assistant's MQTT discovery, its prefix
// and node id. docs/man/qor-gateway.1 describes every key;
// HomeAssistantSpec is in core/config.h.
#ifndef QOR_GATEWAY_HOMEASSISTANT_CONFIG_H
#define QOR_GATEWAY_HOMEASSISTANT_CONFIG_H

namespace qor::gateway {

struct Config;
struct SectionInput;

// Reads [homeassistant] (core/section_reader.h); outputs.cpp names it
// among the file's sections. The node id defaults to the broker's
// client_id, made fit, so it is read after [broker].
void ReadHomeAssistantSection(SectionInput &input, Config *config);

}  // namespace qor::gateway

#endif
