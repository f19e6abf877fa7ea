// Reading the [modbus] section, for config.cpp: kept apart so that only the
// two readers see toml++.
#ifndef QOR_GATEWAY_MODBUS_TOML_H
#define QOR_GATEWAY_MODBUS_TOML_H

#include <toml++/toml.h>

#include <string>
#include <vector>

#include "gateway/modbus/modbus_config.h"

namespace qor::gateway {

struct LinkSpec;

// Fills out from the section; on a fault returns the reason and sets *line.
std::string ReadModbusSection(const toml::node &node, const std::vector<LinkSpec> &links,
                              ModbusSpec *out, unsigned *line);

}  // namespace qor::gateway

#endif
