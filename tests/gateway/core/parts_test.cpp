// The core's small parts: the log's escaping and flood cut, the poll
// schedule's grid, and report by exception.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "gateway/core/log.h"
#include "gateway/core/report.h"
#include "gateway/core/schedule.h"

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

}  // namespace
}  // namespace qor::gateway
