// The parts between the link and the broker: the poll schedule, the bounded
// outbox, the retained state board and the JSON the gateway publishes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "common/iso_time.h"
#include "gateway/broker/resolve.h"
#include "gateway/core/log.h"
#include "gateway/core/report.h"
#include "gateway/core/schedule.h"
#include "gateway/mqtt/json.h"
#include "gateway/mqtt/state_board.h"
#include "gateway/sparkplug/sparkplug_codec.h"
#include "gateway/sparkplug/sparkplug_node.h"
#include "gateway/spool/outbox.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;
using Clock = Schedule::Clock;

// Whatever reaches the log, a line stays one line, and a flood of one kind
// of event is cut to a few lines.
TEST(GatewayLog, OutsideTextIsEscapedBoundedAndFloodsAreCut) {
    EXPECT_EQ(Quoted("k\nqor-gateway: error: X\x1b[2J"), "\"k\\nqor-gateway: error: X\\x1b[2J\"");
    EXPECT_EQ(Quoted(std::string("a\0b", 3)), "\"a\\x00b\"");
    EXPECT_EQ(Quoted("abcdef", 3), "\"abc...\"");
    testing::internal::CaptureStderr();
    Log(Level::kWarning, std::string("raw\r\nforged\0", 12));
    Log(Level::kInfo, std::string(kMaxLogLine + 50, 'x'));
    for (int i = 0; i < 3 * kRepeatsLogged; ++i) {
        LogRepeated(Level::kWarning, "test events", "event " + std::to_string(i), "why");
    }
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2 + kRepeatsLogged) << out;
    EXPECT_NE(out.find("qor-gateway: warning: raw\\r\\nforged\\x00\n"), std::string::npos);
    EXPECT_NE(out.find("... (cut)\n"), std::string::npos);
    EXPECT_NE(out.find("event 4\n"), std::string::npos);
    EXPECT_EQ(out.find("event 5"), std::string::npos);
}

TEST(GatewaySchedule, KeepsItsGridAndCountsSkippedSlots) {
    Schedule s;
    Clock::time_point t0{};
    std::size_t fast = s.Add(100ms, t0);
    std::size_t slow = s.Add(1000ms, t0);
    EXPECT_EQ(s.Next(), fast);  // a tie goes to the one added first
    EXPECT_EQ(s.Done(fast, t0 + 30ms), 0u);
    EXPECT_EQ(s.DueAt(fast), t0 + 100ms);  // late by 30 ms, still on the grid
    EXPECT_EQ(s.Next(), slow);
    // The slow poll took 250 ms, and the late fast one (slot 100) ran until
    // 350: slot 200 ended unpolled, slot 300 has begun and runs at once.
    EXPECT_EQ(s.Done(slow, t0 + 250ms), 0u);
    EXPECT_EQ(s.DueAt(slow), t0 + 1000ms);
    EXPECT_EQ(s.Done(fast, t0 + 350ms), 1u);
    EXPECT_EQ(s.DueAt(fast), t0 + 300ms);
    EXPECT_EQ(s.Done(fast, t0 + 620ms), 2u);
    EXPECT_EQ(s.DueAt(fast), t0 + 600ms);
    // Back on time: the next slot waits.
    EXPECT_EQ(s.Done(fast, t0 + 640ms), 0u);
    EXPECT_EQ(s.DueAt(fast), t0 + 700ms);
}

TEST(GatewayOutbox, DropsTheOldestWhenFullAndCountsThem) {
    Outbox box(3);
    int wakes = 0;
    box.SetWake([&wakes] { ++wakes; });
    for (int i = 1; i <= 5; ++i) {
        box.Push({"t", std::to_string(i), ""});
    }
    EXPECT_EQ(wakes, 1);  // only the first found the queue empty
    EXPECT_EQ(box.Size(), 3u);
    EXPECT_EQ(box.Dropped(), 2u);
    auto first = box.Take();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->message.payload, "3");
    // Taken and not delivered: back to the front, in order.
    box.Return({*first});
    EXPECT_EQ(box.Take()->message.payload, "3");
    // Full again while one was out: the bound holds when it comes back,
    // and the oldest (the one returned) goes.
    box.Push({"t", "6", ""});
    first = box.Take();
    box.Push({"t", "7", ""});
    box.Return({*first});
    EXPECT_EQ(box.Size(), 3u);
    EXPECT_EQ(box.Dropped(), 3u);
    EXPECT_EQ(box.Take()->message.payload, "5");
    box.SetCapacity(1);
    EXPECT_EQ(box.Dropped(), 4u);
    EXPECT_EQ(box.Take()->message.payload, "7");
    EXPECT_FALSE(box.Take());
}

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

// Report by exception, reading by reading on a 1 s grid: a move beyond
// the deadband from the last published value (not the last reading), a
// change of status or error, or max_interval since the last publication.
TEST(GatewayReport, PublishesWhatMovedChangedOrWaitedLongEnough) {
    struct Step {
        int ms;
        int status;
        double value;
        bool published;
    };
    auto run = [](ReportRule rule, const std::vector<Step> &steps) {
        ReportFilter filter(rule, 1000ms);
        ReportFilter::Clock::time_point start{};
        for (const Step &s : steps) {
            bool got = filter.Decide(s.status, s.status == 0 ? 0 : 1, s.value,
                                     start + std::chrono::milliseconds(s.ms));
            EXPECT_EQ(got, s.published) << "at " << s.ms << " ms, value " << s.value;
        }
    };
    ReportRule absolute{true, 0.5, false, 5000ms};
    run(absolute, {{0, 0, 72.1, true},
                   {1000, 0, 72.5, false},  // 0.4 from 72.1
                   {2000, 0, 72.6, false},  // exactly the deadband: not beyond it
                   {3000, 0, 72.61, true},  // beyond it
                   {4000, 0, 72.2, false},  // 0.41 back: creeping does not add up
                   {5000, 0, 0, true},      // a failure is a change of status
                   {6000, 100, 0, true},
                   {7000, 100, 0, false},
                   {10990, 100, 0, true},  // max_interval, a few ms early on the grid
                   {11000, 0, 72.2, true},
                   {15400, 0, 72.2, false},
                   {16000, 0, 72.2, true}});
    ReportRule percent{true, 10, true, 0ms};
    run(percent, {{0, 0, 50, true},
                  {1000, 0, 54.9, false},
                  {2000, 0, 44, true},     // 12 % of 50
                  {3000, 0, 48.3, false},  // 4.3 < 10 % of 44
                  {999000, 0, 48.3, false}});
    ReportRule off{};
    run(off, {{0, 0, 1, true}, {1000, 0, 1, true}});
    // max_interval alone: any change, and the heartbeat.
    ReportRule changes{true, 0, false, 3500ms};
    run(changes, {{0, 0, 1, true}, {1000, 0, 1, false}, {2000, 0, 0, true}, {5000, 0, 0, true}});
}

TEST(GatewayReport, EngineeringValuesAndTheirInverse) {
    Scaling s{0.1, -5};
    EXPECT_EQ(s.ToEngineering(72.1), 2.21);
    double raw = 0;
    EXPECT_FALSE(s.ToRaw(2.21, &raw));
    EXPECT_NEAR(raw, 72.1, 1e-9);
    auto why = s.ToRaw(10000, &raw);
    ASSERT_TRUE(why);
    EXPECT_EQ(*why, "10000 is 100050 to the module (scale 0.1, offset -5), beyond its +-99999.99");
    EXPECT_TRUE((Scaling{0, 1}.ToRaw(1, &raw)));
    EXPECT_EQ((Scaling{}.ToEngineering(72.1)), 72.1);
}

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

// A numeric host needs no resolver, not even time; a name goes through it.
TEST(GatewayHostLookup, NumericAtOnceNamesThroughTheResolver) {
    HostLookup lookup;
    std::string why;
    const auto passed = std::chrono::steady_clock::now() - 1s;
    EXPECT_EQ(lookup.Resolve("127.0.0.1", passed, nullptr, &why),
              std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(lookup.Resolve("::1", passed, nullptr, &why), std::vector<std::string>{"::1"});
    std::vector<std::string> local =
        lookup.Resolve("localhost", std::chrono::steady_clock::now() + 10s, nullptr, &why);
    EXPECT_TRUE(std::find(local.begin(), local.end(), "127.0.0.1") != local.end() ||
                std::find(local.begin(), local.end(), "::1") != local.end())
        << why;
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
