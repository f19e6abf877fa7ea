// Sparkplug B payloads: what the node encodes, and a host's STATE.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "gateway/sparkplug/sparkplug_codec.h"
#include "gateway/sparkplug/sparkplug_node.h"

namespace qor::gateway {
namespace {

// What the node encodes, a host's decoder reads back: names, values (a
// negative Int64 as two's complement), nulls, and seq only where given.
TEST(GatewaySparkplug, PayloadsRoundTripThroughTheSchema) {
    using namespace sparkplug;
    std::vector<Metric> metrics = {{"rd", kDouble, 5, false, 72.1, "", "degC"},
                                   {"re", kInt64, 5, false, -3, "", ""},
                                   {"run", kBoolean, 5, false, 1, "", ""},
                                   {"rl", kDouble, 5, true, 0, "", ""},
                                   {"Device Control/Error", kString, 5, false, 0, "x", ""},
                                   {"", kDouble, 5, false, 2.5, "", "", 9}};
    auto back = DecodeCommand(Encode(1000, 7, metrics));
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 6u);
    EXPECT_EQ((*back)[0].name, "rd");
    EXPECT_FALSE((*back)[0].alias);
    EXPECT_EQ((*back)[5].alias, 9u);  // by alias alone
    EXPECT_EQ((*back)[5].name, "");
    EXPECT_DOUBLE_EQ((*back)[0].number, 72.1);
    EXPECT_DOUBLE_EQ((*back)[1].number, -3);
    EXPECT_DOUBLE_EQ((*back)[2].number, 1);
    EXPECT_FALSE((*back)[3].has_value);
    EXPECT_FALSE((*back)[4].has_value);  // a string is no number to write
    EXPECT_FALSE(DecodeCommand(std::string("\xff\xff\xff", 3)));
}

// A host's STATE is taken only as the object it publishes.
TEST(GatewaySparkplug, HostStatePayloads) {
    struct Case {
        const char *payload;
        bool good;
        bool online;
    } cases[] = {
        {R"({"online": true, "timestamp": 1764590400250})", true, true},
        {R"({"timestamp": 5, "online": false})", true, false},
        {R"({"online": "true", "timestamp": 5})", false, false},
        {R"({"online": true, "timestamp": -5})", false, false},
        {R"({"online": true, "timestamp": 5.5})", false, false},
        {R"({"online": true})", false, false},
        {"ONLINE", false, false},
        {"", false, false},
    };
    for (const Case &c : cases) {
        std::optional<HostState> state = ParseHostState(c.payload);
        ASSERT_EQ(state.has_value(), c.good) << c.payload;
        if (state) {
            EXPECT_EQ(state->online, c.online) << c.payload;
        }
    }
    EXPECT_EQ(ParseHostState(cases[0].payload)->timestamp, 1764590400250u);
}

}  // namespace
}  // namespace qor::gateway
