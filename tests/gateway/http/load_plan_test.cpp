// The load plan: what each link's polls ask of its line, priced from the
// catalogue's frame and reply lengths at the target's rate and framing,
// and how --check and the start judge it.
#include "gateway/core/load_plan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;

PollSpec Poll(Query query, std::chrono::milliseconds interval, int bytes = 1) {
    PollSpec p;
    p.name = QueryName(query);
    p.query = query;
    p.interval = interval;
    p.bytes = bytes;
    return p;
}

Config OneLink(const std::string &target, std::vector<std::vector<PollSpec>> modules) {
    Config c;
    LinkSpec link;
    link.name = "hall1-bus1";
    link.target = target;
    char address = '1';
    for (std::vector<PollSpec> &polls : modules) {
        ModuleSpec m;
        m.address = address;
        m.name = std::string("m") + address++;
        m.polls = std::move(polls);
        link.modules.push_back(m);
    }
    c.links.push_back(link);
    return c;
}

// Each poll's frame and reply, at ten bits a character unless the target
// says otherwise: "$1RD" CR and "*+00072.10" CR are 16 characters.
TEST(GatewayLoadPlan, APollCostsItsFrameAndReplyAtTheLinesRateOncePerInterval) {
    struct Case {
        const char *what;
        const char *target;
        PollSpec poll;
        double percent;
    } cases[] = {
        {"rd, 16 characters at 9600", "/dev/ttyS7", Poll(Query::kRd, 100ms), 16.0 / 960 * 1000},
        {"12 bits a character", "/dev/ttyS7?baud=19200&parity=E&stopbits=2",
         Poll(Query::kRd, 100ms), 10.0},
        {"9 bits a character", "/dev/ttyS7?bytesize=7&baud=9600", Poll(Query::kRd, 150ms),
         16 * 9 / 9600.0 / 0.15 * 100},
        {"rh and its mode letter", "rfc2217://h:1?baud=1200", Poll(Query::kRh, 1000ms),
         17 * 10 / 1200.0 * 100},
        {"re and its seven digits", "/dev/ttyS7", Poll(Query::kRe, 100ms), 14 / 0.96},
        {"rb: a bit number out, a digit back", "/dev/ttyS7", Poll(Query::kRb, 100ms), 10 / 0.96},
        {"di: two hex digits a byte", "/dev/ttyS7?baud=9600", Poll(Query::kDi, 50ms, 4), 15 / 0.48},
    };
    for (const Case &c : cases) {
        std::vector<LinkLoad> plan = PlanLoad(OneLink(c.target, {{c.poll}}));
        ASSERT_EQ(plan.size(), 1u);
        EXPECT_NEAR(plan[0].planned * 100, c.percent, 1e-9) << c.what;
        EXPECT_EQ(plan[0].polls, 1u) << c.what;
    }
}

// A silent module's polls each wait out the time-out and the quiet time
// after it (recovery_ms, the time-out unless given) instead of a reply.
TEST(GatewayLoadPlan, ASilentModuleAddsItsTimeOutsAndQuietTimes) {
    Config c =
        OneLink("/dev/ttyS7?timeout_ms=100",
                {{Poll(Query::kRd, 1000ms)}, {Poll(Query::kRd, 1000ms), Poll(Query::kRd, 500ms)}});
    LinkLoad load = PlanLoad(c)[0];
    EXPECT_EQ(load.busiest, "m2");
    double char_s = 10 / 9600.0;
    double extra = 5 * char_s + 0.2 - 16 * char_s;
    EXPECT_NEAR(load.silent_module, extra * 3, 1e-9);
    c.links[0].target = "/dev/ttyS7?timeout_ms=100&recovery_ms=0";
    EXPECT_NEAR(PlanLoad(c)[0].silent_module, (extra - 0.1) * 3, 1e-9);
}

// Above 70 % is tight, above 100 % over, as the figure shown rounds; TCP
// and a pseudo-terminal tell no rate, so nothing is judged.
TEST(GatewayLoadPlan, ALinkAbove70IsTightAbove100OverAndWithoutARateUnknown) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string pty = ptsname(master);
    // 4800 baud: an rd takes 33.3 ms, 3.33 % of a second.
    struct Case {
        std::string target;
        int polls;
        LoadLevel level;
        const char *text;
    } cases[] = {
        {"/dev/ttyS7?baud=4800", 21, LoadLevel::kFits, ""},
        {"/dev/ttyS7?baud=4800", 24, LoadLevel::kTight,
         "link hall1-bus1 needs 80 % of a 4800 baud line; a silent module, a retry or a command "
         "will make polls late"},
        {"/dev/ttyS7?baud=4800", 30, LoadLevel::kTight, "needs 100 %"},
        {"/dev/ttyS7?baud=4800", 39, LoadLevel::kOver,
         "link hall1-bus1 needs 130 % of a 4800 baud line; polls will fall behind"},
        {"socket://127.0.0.1:1?baud=4800", 390, LoadLevel::kUnknown, ""},
        {pty + "?baud=4800", 390, LoadLevel::kUnknown, ""},
    };
    for (const Case &c : cases) {
        std::vector<PollSpec> polls(static_cast<std::size_t>(c.polls), Poll(Query::kRd, 1000ms));
        std::vector<LinkLoad> plan = PlanLoad(OneLink(c.target, {polls}));
        EXPECT_EQ(LevelOf(plan[0]), c.level) << c.target << " " << c.polls;
        EXPECT_NE(LoadWarning(plan[0]).find(c.text), std::string::npos) << LoadWarning(plan[0]);
        EXPECT_EQ(LoadRefusals(plan), c.level == LoadLevel::kOver ? LoadWarning(plan[0]) : "");
    }
    LinkLoad pty_load = PlanLoad(OneLink(pty, {{Poll(Query::kRd, 1000ms)}}))[0];
    EXPECT_NE(DescribeLoad(pty_load).find("a pseudo-terminal passes bytes at once"),
              std::string::npos);
    close(master);
    LinkLoad tcp = PlanLoad(OneLink("socket://127.0.0.1:1", {{Poll(Query::kRd, 1000ms)}}))[0];
    EXPECT_EQ(DescribeLoad(tcp),
              "link hall1-bus1: 1 poll; socket:// carries no line rate, so "
              "its load is measured as it runs");
}

}  // namespace
}  // namespace qor::gateway
