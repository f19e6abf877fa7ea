// Home Assistant's discovery configs as a host reads them: a limit's number
// entity spans what its scaling makes of the module's range, whichever way
// the scale runs, and an "rb" bit is a switch only where the module may
// both set and clear it.
#include "gateway/homeassistant/discovery.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace qor::gateway {
namespace {

using Json = nlohmann::json;

Config Plant(Scaling high, std::vector<CommandKind> writable) {
    Config c;
    c.broker.client_id = "gw";
    c.homeassistant.enabled = true;
    c.homeassistant.node = "gw";
    LinkSpec link;
    link.name = "bus";
    ModuleSpec m;
    m.name = "boiler";
    PollSpec rh;
    rh.name = "rh";
    rh.query = Query::kRh;
    rh.scaling = high;
    PollSpec valve;
    valve.name = "valve";
    valve.query = Query::kRb;
    valve.bit = 2;
    m.polls = {rh, valve};
    m.writable = std::move(writable);
    link.modules.push_back(m);
    c.links.push_back(link);
    return c;
}

Json Config(const std::map<std::string, std::string> &configs, const std::string &topic) {
    auto it = configs.find(topic);
    return it == configs.end() ? Json() : Json::parse(it->second);
}

TEST(GatewayHomeAssistant, ALimitsRangeFollowsItsScalingEitherWay) {
    struct Case {
        Scaling scaling;
        double min;
        double max;
        double step;
    } cases[] = {
        {{1, 0}, -99999.99, 99999.99, 0.01},
        {{0.1, 5}, -9994.999, 10004.999, 0.001},
        // A negative scale turns the module's range around.
        {{-2, 0}, -99999.99, 99999.99, 0.02},
        {{-0.5, 10}, -49989.995, 50009.995, 0.005},
    };
    for (const Case &c : cases) {
        auto configs = DiscoveryConfigs(Plant(c.scaling, {CommandKind::kHi}));
        Json number = Config(configs, "homeassistant/number/gw/bus_boiler_hi/config");
        ASSERT_TRUE(number.is_object());
        EXPECT_NEAR(number["min"].get<double>(), c.min, 1e-6) << c.scaling.scale;
        EXPECT_NEAR(number["max"].get<double>(), c.max, 1e-6) << c.scaling.scale;
        EXPECT_LT(number["min"].get<double>(), number["max"].get<double>());
        EXPECT_NEAR(number["step"].get<double>(), c.step, 1e-9) << c.scaling.scale;
        EXPECT_EQ(number["state_topic"], "qor/bus/boiler/rh");
        EXPECT_EQ(number["command_topic"], "qor/bus/boiler/set/hi");
    }
}

TEST(GatewayHomeAssistant, ABitIsASwitchOnlyWhereItCanBeSetAndCleared) {
    struct Case {
        std::vector<CommandKind> writable;
        const char *component;
    } cases[] = {
        {{CommandKind::kSb, CommandKind::kCb}, "switch"},
        {{CommandKind::kSb}, "binary_sensor"},
        {{CommandKind::kCb}, "binary_sensor"},
        {{}, "binary_sensor"},
    };
    for (const Case &c : cases) {
        auto configs = DiscoveryConfigs(Plant({}, c.writable));
        for (const char *component : {"switch", "binary_sensor"}) {
            Json entity = Config(
                configs, std::string("homeassistant/") + component + "/gw/bus_boiler_valve/config");
            EXPECT_EQ(entity.is_object(), std::string(component) == c.component)
                << component << " with " << c.writable.size() << " writable";
        }
        Json sw = Config(configs, "homeassistant/switch/gw/bus_boiler_valve/config");
        if (sw.is_object()) {
            EXPECT_EQ(sw["command_topic"], "qor/bus/boiler/set/valve");
            EXPECT_EQ(sw["state_topic"], "qor/bus/boiler/valve");
        }
    }
}

}  // namespace
}  // namespace qor::gateway
