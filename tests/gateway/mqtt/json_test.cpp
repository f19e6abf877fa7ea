// The JSON topics' payloads and the retained state board.
#include "gateway/mqtt/json.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/iso_time.h"
#include "gateway/mqtt/state_board.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;

TEST(GatewayStateBoard, PublishesOnlyChangesUntilAllAreAskedFor) {
    StateBoard board;
    board.Set("a", "online");
    board.Set("b", "1");
    EXPECT_EQ(board.TakeChanged().size(), 2u);
    board.Set("a", "online");
    EXPECT_TRUE(board.TakeChanged().empty());
    board.Set("a", "offline");
    auto changed = board.TakeChanged();
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].second, "offline");
    board.MarkAllChanged();
    EXPECT_EQ(board.TakeChanged().size(), 2u);
}

// Keys in the documented order (qor-gateway(1)): the value first.
TEST(GatewayJson, ReadingsResultsAndCounters) {
    auto when = std::chrono::system_clock::time_point(1700000000123ms);
    EXPECT_EQ(qor::text::IsoUtc(when), "2023-11-14T22:13:20.123Z");
    struct Case {
        Reading reading;
        const char *json;
    } cases[] = {
        {{0, 0, TwoDecimals(72.1f), false, -1, "", when, 7, 1796000000},
         R"({"value":72.1,"status":0,"error":0,"ts":"2023-11-14T22:13:20.123Z","seq":7,"boot":1796000000})"},
        {{0, 0, 100.0, false, 1, "", when, 1},
         R"({"value":100.0,"latching":true,"status":0,"error":0,"ts":"2023-11-14T22:13:20.123Z","seq":1,"boot":0})"},
        {{0, 0, 9999999, true, -1, "", when, 2},
         R"({"value":9999999,"status":0,"error":0,"ts":"2023-11-14T22:13:20.123Z","seq":2,"boot":0})"},
        {{100, 'R', 0, false, -1, "R", when, 3},
         R"({"value":null,"status":100,"error":82,"error_text":"R","ts":"2023-11-14T22:13:20.123Z","seq":3,"boot":0})"},
        {{100, 1, 0, false, 1, "", when, 4},
         R"({"value":null,"status":100,"error":1,"ts":"2023-11-14T22:13:20.123Z","seq":4,"boot":0})"},
        {{0, 0, 2.21, false, -1, "", when, 5, 0, 72.1},
         R"({"value":2.21,"raw":72.1,"status":0,"error":0,"ts":"2023-11-14T22:13:20.123Z","seq":5,"boot":0})"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ReadingPayload(c.reading), c.json);
    }
    CommandResult refused;
    refused.command = "do";
    refused.reason = "bad \xff";
    refused.when = when;
    EXPECT_EQ(ResultPayload(refused), R"({"command":"do","ok":false,"reason":"bad )"
                                      "\xEF\xBF\xBD"
                                      R"(","ts":"2023-11-14T22:13:20.123Z"})");
    CommandResult ran;
    ran.command = "ec";
    ran.ran = true;
    ran.count = 42;
    ran.when = when;
    ran.origin = "modbus 10.0.0.7:50312";
    EXPECT_EQ(ResultPayload(ran),
              R"({"command":"ec","ok":true,"status":0,"error":0,"value":42,)"
              R"("origin":"modbus 10.0.0.7:50312","ts":"2023-11-14T22:13:20.123Z"})");
    ModuleCounters counters{5, 4, 3, 2, 1, 6, 8, 7};
    EXPECT_EQ(CountersPayload(counters, when),
              R"({"replies":5,"timeouts":4,"errors":3,"link_faults":2,"overruns":1,"commands":6,)"
              R"("late_replies":8,"refused":7,"ts":"2023-11-14T22:13:20.123Z"})");
    // The spool's figures only with a spool; an age only with something unsent.
    OutboxStatus status;
    status.boot = 7;
    status.delivered = 3;
    EXPECT_EQ(
        DroppedPayload(status, when),
        R"({"dropped":0,"boot":7,"delivered":3,"spool":false,"spool_resets":0,"ts":"2023-11-14T22:13:20.123Z"})");
    status.spooled = true;
    status.spool_messages = 2;
    status.oldest_ms = 1700000000123 - 90500;
    EXPECT_NE(DroppedPayload(status, when).find(R"("oldest_unsent_s":90,)"), std::string::npos);
}

}  // namespace
}  // namespace qor::gateway
