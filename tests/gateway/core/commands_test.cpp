// Command payloads and topics: what each command accepts, and that anything
// else is refused with a reason before the link is touched.
#include "gateway/core/commands.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "gateway/mqtt/json.h"
#include "gateway/mqtt/topics.h"

namespace qor::gateway {
namespace {

struct PayloadCase {
    const char *command;
    const char *payload;
    const char *refusal;  // nullptr: accepted
    double value = 0;
    int mode = 2;
    int outputs = 0;
    int bytes = 1;
    int bit = 0;
};

TEST(GatewayCommands, PayloadsAreAcceptedOrRefusedWithAReason) {
    const PayloadCase cases[] = {
        {"hi", R"({"value": 100.0, "latching": true})", nullptr, 100.0, 1},
        {"lo", R"({"value": -10, "latching": false})", nullptr, -10.0, 0},
        {"hi", R"({"value": 5.5})", nullptr, 5.5, 2},
        {"sp", R"({"value": 99999.99})", nullptr, 99999.99},
        // What rounds to the largest field, as the library, qor and Python take it.
        {"tz", R"({"value": -99999.994})", nullptr, -99999.994},
        {"ao", R"( {"value": -3.25} )", nullptr, -3.25},
        {"do", R"({"outputs": 5})", nullptr, 0, 2, 5, 1},
        {"do", R"({"outputs": 4660})", nullptr, 0, 2, 4660, 2},
        {"do", R"({"outputs": 1, "bytes": 2})", nullptr, 0, 2, 1, 2},
        {"do", R"({"outputs": 255})", nullptr, 0, 2, 255, 1},
        {"do", R"({"outputs": 256})", nullptr, 0, 2, 256, 2},
        {"cb", R"({"bit": 0})", nullptr, 0, 2, 0, 1, 0},
        {"sb", R"({"bit": 63})", nullptr, 0, 2, 0, 1, 63},
        {"rr", "", nullptr},
        {"ec", "{}", nullptr},
        {"hi", "", "needs \"value\""},
        {"hi", R"({"value": "100"})", "\"value\" has the wrong type"},
        {"hi", R"({"value": 100, "latching": 1})", "\"latching\" has the wrong type"},
        {"sp", R"({"value": 100000})", "\"value\" is beyond +-99999.99"},
        {"sp", R"({"value": -99999.996})", "\"value\" is beyond +-99999.99"},
        {"ts", R"({"value": 99999.995})", "\"value\" is beyond +-99999.99"},
        {"sp", R"({"value": 1, "latching": true})", "sp takes no \"latching\""},
        {"sp", R"({"valeu": 1})", "unknown key \"valeu\""},
        {"do", R"({"outputs": 65536})", "needs \"outputs\", an integer 0 to 65535"},
        {"do", R"({"outputs": -1})", "needs \"outputs\", an integer 0 to 65535"},
        {"do", R"({"outputs": 2.5})", "\"outputs\" has the wrong type"},
        {"do", R"({"outputs": 300, "bytes": 1})", "\"outputs\" above 255 needs \"bytes\": 2"},
        {"do", R"({"outputs": 3, "bytes": 3})", "\"bytes\" is 1 or 2"},
        {"sb", R"({"bit": 64})", "needs \"bit\", an integer 0 to 63"},
        {"sb", R"({"bit": -1})", "needs \"bit\", an integer 0 to 63"},
        {"cb", "{}", "needs \"bit\", an integer 0 to 63"},
        {"rr", R"({"value": 1})", "rr takes no \"value\""},
        {"do", R"({"outputs": 1)", "the payload is not JSON"},
        {"do", "5", "the payload is not a JSON object"},
        {"do", "[1]", "the payload is not a JSON object"},
        {"do", "\xff\xfe", "the payload is not JSON"},
        // Checked before narrowing: 4294967298 is not 2.
        {"do", R"({"outputs": 5, "bytes": 4294967298})", "\"bytes\" is 1 or 2"},
        {"do", R"({"outputs": 4294967301})", "needs \"outputs\", an integer 0 to 65535"},
        {"sb", R"({"bit": 4294967299})", "needs \"bit\", an integer 0 to 63"},
        {"do", R"({"outputs": 18446744073709551615})", "\"outputs\" is out of range"},
        // Exactly one document.
        {"hi", R"({"value": 1} {"value": 2})", "the payload is not JSON"},
        {"hi", R"({"value": 1}x)", "the payload is not JSON"},
        {"hi", "{\"value\": 1}\n", nullptr, 1.0},
        {"hi", R"({"value": 1} // more)", "the payload is not JSON"},
        {"hi", R"({"k\nqor-gateway: error: FORGED\u001b[2J": 1})",
         "unknown key \"k\\nqor-gateway: error: FORGED\\x1b[2J\""},
    };
    for (const PayloadCase &c : cases) {
        std::string what = std::string(c.command) + " " + c.payload;
        auto kind = CommandFromName(c.command);
        ASSERT_TRUE(kind) << what;
        auto parsed = ParseCommand(*kind, c.payload);
        if (c.refusal != nullptr) {
            ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << what;
            EXPECT_EQ(std::get<std::string>(parsed), c.refusal) << what;
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<CommandArgs>(parsed))
            << what << ": " << std::get<std::string>(parsed);
        const CommandArgs &a = std::get<CommandArgs>(parsed);
        EXPECT_EQ(a.kind, *kind) << what;
        EXPECT_DOUBLE_EQ(a.value, c.value) << what;
        EXPECT_EQ(a.mode, c.mode) << what;
        EXPECT_EQ(a.outputs, c.outputs) << what;
        EXPECT_EQ(a.bytes, c.bytes) << what;
        EXPECT_EQ(a.bit, c.bit) << what;
    }
}

// Bytes a JSON parser reading up to a NUL would never see still count.
TEST(GatewayCommands, ANulByteOrAnOverlongPayloadIsRefused) {
    for (std::string payload : {std::string("{\"value\": 1}\0junk", 17),
                                std::string("{\"value\": 1}\0", 13), std::string("\0", 1)}) {
        auto parsed = ParseCommand(CommandKind::kHi, payload);
        ASSERT_TRUE(std::holds_alternative<std::string>(parsed));
        EXPECT_EQ(std::get<std::string>(parsed), "the payload holds a NUL byte");
    }
    std::string big = "{\"value\": 1" + std::string(kMaxPayloadBytes, ' ') + "}";
    auto parsed = ParseCommand(CommandKind::kHi, big);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed));
    EXPECT_EQ(std::get<std::string>(parsed), "the payload is longer than 4096 bytes");
}

TEST(GatewayCommands, EveryNameGoesBothWays) {
    for (const char *name : {"hi", "lo", "sp", "ts", "tz", "ao", "do", "sb", "cb", "ca", "ce", "cz",
                             "da", "ea", "rr", "ec"}) {
        auto kind = CommandFromName(name);
        ASSERT_TRUE(kind) << name;
        EXPECT_STREQ(CommandName(*kind), name);
    }
    EXPECT_FALSE(CommandFromName("rd"));
    EXPECT_FALSE(CommandFromName("HI"));
}

TEST(GatewayCommands, ResponseTopicsOnlyBelowTheReplyNamespace) {
    for (const char *inside : {"plant/reply/me", "plant/reply/op/1/2"}) {
        EXPECT_TRUE(InReplyNamespace("plant/reply", inside)) << inside;
    }
    for (const char *outside :
         {"plant/reply", "plant/reply/", "plant/replyx/me", "plant/bus1/boiler/rd",
          "plant/gateway/gw/status", "plant/bus1/other/set/do", "plant/reply/+", "plant/reply/#",
          "plant/reply/a\nb", "other/reply/me", ""}) {
        EXPECT_FALSE(InReplyNamespace("plant/reply", outside)) << outside;
    }
    EXPECT_FALSE(InReplyNamespace("plant/reply", "plant/reply/" + std::string(1100, 'x')));
}

TEST(GatewayCommands, CommandTopicsAreSplitOnlyWhenWholeAndUnderThePrefix) {
    auto t = SplitCommandTopic("plant/hall1", "plant/hall1/bus1/boiler/set/hi");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->link, "bus1");
    EXPECT_EQ(t->module, "boiler");
    EXPECT_EQ(t->command, "hi");
    for (const char *other :
         {"plant/hall1/bus1/boiler/set/hi/result", "plant/hall1/bus1/boiler/set/",
          "plant/hall1/bus1/boiler/rd", "plant/hall2/bus1/boiler/set/hi", "plant/hall1x/b/m/set/hi",
          "plant/hall1/bus1/set/hi"}) {
        EXPECT_FALSE(SplitCommandTopic("plant/hall1", other)) << other;
    }
}

}  // namespace
}  // namespace qor::gateway
