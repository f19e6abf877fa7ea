// [homeassistant] as its folder reads it: the defaults that follow the
// broker's client_id, the keys, and each mistake with its line.
#include <gtest/gtest.h>

#include <string>

#include "gateway/core/config.h"

namespace qor::gateway {
namespace {

std::string File(const std::string &client_id, const std::string &section) {
    return "[broker]\nhost = \"h\"\nclient_id = \"" + client_id +
           "\"\n[[link]]\nname = \"a\"\ntarget = \"/dev/ttyS0\"\n[[link.module]]\n"
           "address = \"1\"\nname = \"m\"\n" +
           section;
}

TEST(GatewayHomeAssistantConfig, NodeAndPrefixFromTheFileOrTheClientId) {
    const struct {
        const char *client_id;
        const char *section;
        bool enabled;
        const char *prefix;
        const char *node;
    } cases[] = {
        {"hall1", "", false, "homeassistant", "hall1"},
        // A node id is letters, digits, '_' and '-': the client id made fit.
        {"hall.1:a", "[homeassistant]\nenabled = true\n", true, "homeassistant", "hall_1_a"},
        {"hall-1", "[homeassistant]\n", false, "homeassistant", "hall-1"},
        {"hall1", "[homeassistant]\nenabled = true\ndiscovery_prefix = \"ha/plant\"\n", true,
         "ha/plant", "hall1"},
        {"hall1", "[homeassistant]\nenabled = true\nnode_id = \"Hall_1-b\"\n", true,
         "homeassistant", "Hall_1-b"},
    };
    for (const auto &c : cases) {
        ConfigResult r = ParseConfig(File(c.client_id, c.section), "g.toml", "/");
        ASSERT_TRUE(r.config) << c.section << r.error;
        const HomeAssistantSpec &h = r.config->homeassistant;
        EXPECT_EQ(h.enabled, c.enabled) << c.section;
        EXPECT_EQ(h.prefix, c.prefix) << c.section;
        EXPECT_EQ(h.node, c.node) << c.client_id << " " << c.section;
    }
}

TEST(GatewayHomeAssistantConfig, RefusesMistakesWithTheirLine) {
    const struct {
        const char *section;
        const char *error;  // after "g.toml:"
    } cases[] = {
        {"[homeassistant]\nenabled = \"yes\"\n", "11: \"enabled\" must be true or false"},
        {"[homeassistant]\nnode_id = \"hall 1\"\n",
         "11: \"node_id\" must be letters, digits, '_' or '-'"},
        {"[homeassistant]\nnode_id = \"\"\n", "11: \"node_id\" must be letters"},
        {"[homeassistant]\ndiscovery_prefix = \"ha/#\"\n", "11: \"discovery_prefix\" must be"},
        {"[homeassistant]\ndiscovery-prefix = \"ha\"\n",
         "11: unknown key \"discovery-prefix\" in [homeassistant]; did you mean "
         "'discovery_prefix'?"},
        // Results on a response topic must never land on a discovery config.
        {"[gateway]\nreply_prefix = \"homeassistant/r\"\n[homeassistant]\nenabled = true\n",
         "11: the reply namespace \"homeassistant/r\" (reply_prefix) overlaps the "
         "discovery_prefix of [homeassistant]"},
    };
    for (const auto &c : cases) {
        ConfigResult r = ParseConfig(File("hall1", c.section), "g.toml", "/");
        EXPECT_FALSE(r.config) << c.section;
        ASSERT_EQ(r.errors.size(), 1u) << c.section << r.error;
        EXPECT_EQ(r.errors[0].rfind("g.toml:" + std::string(c.error), 0), 0u) << r.errors[0];
    }
}

}  // namespace
}  // namespace qor::gateway
