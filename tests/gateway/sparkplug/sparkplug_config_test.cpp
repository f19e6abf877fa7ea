// [sparkplug] as its folder reads it: the edge node id that follows the
// broker's client_id, the bdSeq file beside the configuration, and what a
// reply namespace may not overlap.
#include <gtest/gtest.h>

#include <string>

#include "gateway/core/config.h"

namespace qor::gateway {
namespace {

std::string File(const std::string &section) {
    return "[broker]\nhost = \"h\"\nclient_id = \"hall1\"\n[[link]]\nname = \"a\"\n"
           "target = \"/dev/ttyS0\"\n[[link.module]]\naddress = \"1\"\nname = \"m\"\n" +
           section;
}

TEST(GatewaySparkplugConfig, TheEdgeNodeIsTheClientIdUnlessGiven) {
    const struct {
        const char *section;
        bool enabled;
        const char *edge_node;
        const char *bdseq_file;
    } cases[] = {
        {"", false, "hall1", ""},
        {"[sparkplug]\ngroup_id = \"plant\"\n", false, "hall1", ""},
        {"[sparkplug]\nenabled = true\ngroup_id = \"plant\"\nedge_node_id = \"n-1\"\n"
         "bdseq_file = \"state/bdseq\"\n",
         true, "n-1", "/etc/qor/state/bdseq"},
        {"[sparkplug]\nenabled = true\ngroup_id = \"plant\"\nbdseq_file = \"/var/lib/b\"\n", true,
         "hall1", "/var/lib/b"},
    };
    for (const auto &c : cases) {
        ConfigResult r = ParseConfig(File(c.section), "g.toml", "/etc/qor");
        ASSERT_TRUE(r.config) << c.section << r.error;
        EXPECT_EQ(r.config->sparkplug.enabled, c.enabled) << c.section;
        EXPECT_EQ(r.config->sparkplug.edge_node, c.edge_node) << c.section;
        EXPECT_EQ(r.config->sparkplug.bdseq_file, c.bdseq_file) << c.section;
    }
}

TEST(GatewaySparkplugConfig, RefusesMistakesWithTheirLine) {
    const struct {
        const char *section;
        const char *error;  // after "g.toml:"
    } cases[] = {
        {"[sparkplug]\nenabled = true\n", "10: [sparkplug] needs \"group_id\""},
        {"[sparkplug]\ngroup_id = \"\"\n", "11: \"group_id\" must be 1 to 128 characters"},
        {"[sparkplug]\ngroup_id = \"p\"\nprimary_host_id = \"a#b\"\n",
         "12: \"primary_host_id\" must be"},
        {"[sparkplug]\ngroup_id = \"p\"\ngroupid = \"p\"\n",
         "12: unknown key \"groupid\" in [sparkplug]; did you mean 'group_id'?"},
        {"[sparkplug]\ngroup_id = \"p\"\nbdseq_file = 5\n", "12: \"bdseq_file\" must be a string"},
        {"[gateway]\nreply_prefix = \"spBv1.0\"\n[sparkplug]\nenabled = true\ngroup_id = \"p\"\n",
         "11: the reply namespace \"spBv1.0\" (reply_prefix) overlaps the Sparkplug B topics"},
    };
    for (const auto &c : cases) {
        ConfigResult r = ParseConfig(File(c.section), "g.toml", "/etc/qor");
        EXPECT_FALSE(r.config) << c.section;
        ASSERT_EQ(r.errors.size(), 1u) << c.section << r.error;
        EXPECT_EQ(r.errors[0].rfind("g.toml:" + std::string(c.error), 0), 0u) << r.errors[0];
    }
}

}  // namespace
}  // namespace qor::gateway
