#include "gateway/outputs.h"

#include "gateway/homeassistant/homeassistant_config.h"
#include "gateway/homeassistant/homeassistant_output.h"
#include "gateway/http/http_config.h"
#include "gateway/http/http_server.h"
#include "gateway/modbus/modbus_config.h"
#include "gateway/modbus/modbus_server.h"
#include "gateway/mqtt/mqtt_output.h"
#include "gateway/sparkplug/sparkplug_config.h"
#include "gateway/sparkplug/sparkplug_output.h"

namespace qor::gateway {

// In the order they prepare and hear of events. The JSON topics come last:
// a new broker session takes the old one's place at the broker as soon as
// it connects, which no rollback could undo, so it connects only once
// every other output has prepared (bound its port, read its files).
std::vector<std::unique_ptr<Output>> MakeOutputs(const OutputServices &services) {
    auto mqtt = std::make_unique<MqttOutput>(services);
    std::vector<std::unique_ptr<Output>> outputs;
    outputs.push_back(std::make_unique<HttpServer>(services));
    outputs.push_back(std::make_unique<ModbusServer>(services));
    outputs.push_back(std::make_unique<HomeAssistantOutput>(*mqtt));
    outputs.push_back(std::make_unique<SparkplugOutput>(services));
    outputs.push_back(std::move(mqtt));
    return outputs;
}

// The file's tables each output reads, after [broker], [gateway] and the
// links; the JSON topics' keys are the core's own. [modbus] comes last, as
// its register map follows the polls.
const ConfigSections &OutputSections() {
    static const ConfigSections kSections = {
        {"http", ReadHttpSection},
        {"sparkplug", ReadSparkplugSection},
        {"homeassistant", ReadHomeAssistantSection},
        {"modbus", ReadModbusSection},
    };
    return kSections;
}

}  // namespace qor::gateway
