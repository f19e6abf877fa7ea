// A link's line as the page shows it, from a real poller against a real
// qor-sim over TCP: the load, lag and skipped slots of a line too slow for
// its plan, the line time of commands, and replies that came late.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "gateway/core/poller.h"
#include "sim/sim_process.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;

constexpr int kPort = 61;

LinkSpec Link(const std::string &where, int timeout_ms, std::chrono::milliseconds interval) {
    LinkSpec link;
    link.name = "bus";
    link.target = "socket://" + where + "?timeout_ms=" + std::to_string(timeout_ms);
    ModuleSpec m;
    m.name = "m";
    for (const char *name : {"a", "b"}) {
        PollSpec p;
        p.name = name;
        p.interval = interval;
        m.polls.push_back(p);
    }
    m.writable = {CommandKind::kTs};
    link.modules.push_back(m);
    return link;
}

struct Line {
    explicit Line(const LinkSpec &link) : poller(link, 0, kPort, PollerSettings{}, outputs) {
        Config c;
        c.links.push_back(link);
        plant.Layout(c);
        poller.Start();
    }
    // Until the condition holds of the plant's link, 20 s at most.
    bool WaitFor(bool (*holds)(const LinkView &)) const {
        auto give_up = std::chrono::steady_clock::now() + 20s;
        while (!holds(plant.Snapshot().links[0])) {
            if (std::chrono::steady_clock::now() > give_up) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    PlantState plant{300ms};
    Outputs outputs{plant};
    LinkPoller poller;
};

// Every reply takes 20 ms and each poll is due every 10 ms: the line is busy
// all the time, polls start late and slots pass without them.
TEST(GatewayLine, ALineTooSlowForItsPlanShowsItsLoadLagAndSkippedSlots) {
    qor::test::SimProcess sim({"--listen", "127.0.0.1:0", "--steady", "--delay-ms", "20"});
    ASSERT_FALSE(sim.Where().empty());
    Line line(Link(sim.Where(), 500, 10ms));
    ASSERT_TRUE(line.WaitFor(
        [](const LinkView &l) { return l.recent.seconds > 0 && l.recent.change.skipped > 0; }));
    line.poller.Stop();
    PlantSnapshot s = line.plant.Snapshot();
    const LinkView &l = s.links[0];
    EXPECT_GT(l.recent.Load(), 0.5);
    EXPECT_GT(l.recent.lag_s, 0.005);
    EXPECT_GT(l.modules[0].queries[0].skipped + l.modules[0].queries[1].skipped, 0u);
    EXPECT_EQ(l.total.skipped, l.modules[0].queries[0].skipped + l.modules[0].queries[1].skipped);
}

// A command holds the line as a poll does: its time counts towards the load.
TEST(GatewayLine, ACommandsTimeOnTheLineCountsTowardsTheLoad) {
    qor::test::SimProcess sim({"--listen", "127.0.0.1:0", "--steady", "--delay-ms", "150"});
    ASSERT_FALSE(sim.Where().empty());
    Line line(Link(sim.Where(), 1000, 3600s));
    ASSERT_TRUE(line.WaitFor([](const LinkView &l) { return l.durations == 2; }));
    double polls = line.plant.Snapshot().links[0].total.busy_s;
    for (int i = 0; i < 2; ++i) {
        Command command;
        command.link = "bus";
        command.module = "m";
        command.args.kind = CommandKind::kTs;
        ASSERT_TRUE(line.poller.Submit(command));
    }
    ASSERT_TRUE(line.WaitFor([](const LinkView &l) { return l.total.busy_s > 0.55; }));
    line.poller.Stop();
    // Two commands, each a WE and the command: four replies of 150 ms.
    EXPECT_GE(line.plant.Snapshot().links[0].total.busy_s - polls, 0.55);
}

// Replies that come after their exchange ended are counted on the link.
TEST(GatewayLine, RepliesAfterTheirExchangeEndedAreCountedOnTheLink) {
    qor::test::SimProcess sim({"--listen", "127.0.0.1:0", "--steady", "--delay-ms", "120"});
    ASSERT_FALSE(sim.Where().empty());
    Line line(Link(sim.Where(), 60, 200ms));
    EXPECT_TRUE(line.WaitFor([](const LinkView &l) { return l.total.late_replies > 0; }));
    line.poller.Stop();
}

}  // namespace
}  // namespace qor::gateway
