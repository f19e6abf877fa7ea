// What needs a person, from the plant state and the outputs' health: each
// kind of trouble, the larger standing for the smaller, several of a kind
// on a link told as one, newest first.
#include "gateway/http/problems.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qor_dll.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;

// One link of `modules` modules "m0", "m1"... each polling "temp" (rd),
// the first also its limits.
Config Plant(int modules) {
    Config c;
    LinkSpec link;
    link.name = "bus";
    link.target = "/dev/ttyS7";
    for (int i = 0; i < modules; ++i) {
        ModuleSpec m;
        m.name = "m" + std::to_string(i);
        PollSpec p;
        p.name = "temp";
        p.display_name = i == 0 ? "Boiler water" : "";
        p.unit = "°C";
        m.polls.push_back(p);
        if (i == 0) {
            for (Query q : {Query::kRh, Query::kRl}) {
                PollSpec limit;
                limit.name = QueryName(q);
                limit.query = q;
                m.polls.push_back(limit);
            }
        }
        link.modules.push_back(m);
    }
    c.links.push_back(link);
    return c;
}

Reading Value(double value, int status = 0, int error = 0, const char *text = "") {
    Reading r;
    r.value = value;
    r.status = status;
    r.error = error;
    r.error_text = text;
    r.when = std::chrono::system_clock::now();
    return r;
}

std::vector<std::string> Kinds(const std::vector<Problem> &problems) {
    std::vector<std::string> kinds;
    for (const Problem &p : problems) {
        kinds.push_back(p.kind);
    }
    return kinds;
}

struct Situation {
    const char *what;
    void (*make)(PlantState &plant);
    std::vector<std::string> kinds;
    const char *text;  // in the text of one of the problems found
};

const Situation kSituations[] = {
    {"all well", [](PlantState &) {}, {}, ""},
    {"a link down",
     [](PlantState &p) {
         p.NoteLinkDown(0, "cannot open: no such device", false);
         p.NoteAvailability({0, 1}, Availability::kOffline);
     },
     {"link_down"},
     "link bus is down (cannot open: no such device); its 3 modules cannot answer"},
    {"a module offline, its poll failing",
     [](PlantState &p) {
         p.NoteReading({0, 1, 0}, Value(0, QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY), 0.4);
         p.NoteAvailability({0, 1}, Availability::kOffline);
     },
     {"module_offline"},
     "module m1 on link bus does not answer"},
    {"a poll failing with the module's error",
     [](PlantState &p) {
         p.NoteReading({0, 2, 0}, Value(0, QOR_STATUS_REPLY_FAULT, 'R', "?3 RANGE"), 0.01);
     },
     {"poll_failing"},
     "bus/m2/temp fails: error (?3 RANGE)"},
    {"a value above its module's limit",
     [](PlantState &p) {
         p.NoteReading({0, 0, 1}, Value(100), 0.01);
         p.NoteReading({0, 0, 0}, Value(105.5), 0.01);
     },
     {"alarm"},
     "Boiler water (bus/m0/temp) 105.5 °C is above its high limit 100 °C"},
    {"and below its low one while failing",
     [](PlantState &p) {
         p.NoteReading({0, 0, 2}, Value(-10), 0.01);
         p.NoteReading({0, 0, 0}, Value(-11), 0.01);
         p.NoteReading({0, 0, 0}, Value(0, QOR_STATUS_REPLY_FAULT, 'S', "?1 SYNTAX"), 0.01);
     },
     {"poll_failing", "alarm"},
     "Boiler water (bus/m0/temp) fails: error (?1 SYNTAX)"},
    {"a time-out among good readings: the line's noise",
     [](PlantState &p) {
         p.NoteReading({0, 2, 0}, Value(1), 0.01);
         p.NoteReading({0, 2, 0}, Value(0, QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY), 0.4);
     },
     {},
     ""},
    {"time-outs of a poll never answered",
     [](PlantState &p) {
         p.NoteReading({0, 2, 0}, Value(0, QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY), 0.4);
     },
     {"poll_failing"},
     "bus/m2/temp fails: timeout"},
};
// Each kind, and what it stands for: a link down for its modules, a module
// offline for its polls; an alarm beside a poll's other trouble.
TEST(GatewayProblems, EachTroubleOnceAndTheLargerForTheSmaller) {
    for (const Situation &s : kSituations) {
        PlantState plant;
        plant.Layout(Plant(3));
        plant.NoteLinkUp(0);
        s.make(plant);
        std::vector<Problem> found = FindProblems(plant.Snapshot(), {}, {}, ProblemClock{});
        std::vector<std::string> kinds = Kinds(found);
        std::sort(kinds.begin(), kinds.end());
        std::vector<std::string> want = s.kinds;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(kinds, want) << s.what;
        if (!found.empty()) {
            bool told = false;
            for (const Problem &p : found) {
                told = told || p.text == s.text;
            }
            EXPECT_TRUE(told) << s.what << ": " << found[0].text;
        }
    }
}

// A good reading older than three intervals (two seconds at least) is
// stale; since then, not since the reading.
TEST(GatewayProblems, AReadingNoLongerRenewedIsStaleFromWhenItShouldHaveBeen) {
    PlantState plant;
    plant.Layout(Plant(1));
    plant.NoteLinkUp(0);
    Reading r = Value(72.1);
    plant.NoteReading({0, 0, 0}, r, 0.01);
    PlantSnapshot s = plant.Snapshot();
    EXPECT_TRUE(FindProblems(s, {}, {}, ProblemClock{}).empty());
    s.steady_now += 3100ms;
    std::vector<Problem> found = FindProblems(s, {}, {}, ProblemClock{});
    ASSERT_EQ(Kinds(found), std::vector<std::string>{"stale"});
    EXPECT_EQ(found[0].since, r.when + 3s);
    EXPECT_EQ(found[0].text, "Boiler water (bus/m0/temp) has had no good reading for 3 s");
    // Time-outs since, the module still answering its other polls: failing,
    // from the first of them.
    Reading lost = Value(0, QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY);
    plant.NoteReading({0, 0, 0}, lost, 0.4);
    s = plant.Snapshot();
    EXPECT_TRUE(FindProblems(s, {}, {}, ProblemClock{}).empty());
    s.steady_now += 3100ms;
    found = FindProblems(s, {}, {}, ProblemClock{});
    ASSERT_EQ(Kinds(found), std::vector<std::string>{"poll_failing"});
    EXPECT_EQ(found[0].since, lost.when);
}

// More than kProblemsApart of a kind on one link are one problem, since
// the earliest; newest first.
TEST(GatewayProblems, ManyOfAKindOnALinkAreOneAndTheNewestComesFirst) {
    PlantState plant;
    plant.Layout(Plant(9));
    plant.NoteLinkUp(0);
    for (std::size_t i = 1; i < 9; ++i) {
        plant.NoteAvailability({0, i}, Availability::kOffline);
        std::this_thread::sleep_for(2ms);
    }
    plant.NoteReading({0, 0, 1}, Value(100), 0.01);
    plant.NoteReading({0, 0, 0}, Value(120), 0.01);
    std::vector<Problem> found = FindProblems(plant.Snapshot(), {}, {}, ProblemClock{});
    ASSERT_EQ(Kinds(found), (std::vector<std::string>{"alarm", "module_offline"}));
    EXPECT_EQ(found[1].count, 8u);
    EXPECT_EQ(found[1].text, "8 modules do not answer on link bus: m1, m2, m3, m4, m5, m6, m7, m8");
    EXPECT_EQ(found[1].since, plant.Snapshot().links[0].modules[1].since);

    plant.NoteAvailability({0, 8}, Availability::kOnline);
    plant.NoteAvailability({0, 7}, Availability::kOnline);
    plant.NoteAvailability({0, 6}, Availability::kOnline);
    EXPECT_EQ(FindProblems(plant.Snapshot(), {}, {}, ProblemClock{}).size(), 6u)
        << "five offline are told apart";
}

// A line that skipped slots falls behind, with its load against its plan.
TEST(GatewayProblems, ALineThatSkipsSlotsFallsBehindWithItsLoadAndPlan) {
    PlantState plant(1ms);
    Config c = Plant(1);
    plant.Layout(c);
    plant.NoteLinkUp(0);
    plant.NoteReading({0, 0, 0}, Value(1), 0);
    plant.NoteSlot({0, 0, 0}, 0.5, 3);
    std::this_thread::sleep_for(5ms);
    plant.NoteSlot({0, 0, 0}, 0, 0);  // ends the window
    std::vector<LinkLoad> plan = PlanLoad(c);
    std::vector<Problem> found = FindProblems(plant.Snapshot(), {}, plan, ProblemClock{});
    ASSERT_EQ(Kinds(found), std::vector<std::string>{"behind"});
    EXPECT_NE(found[0].text.find("link bus falls behind: 60 % of its poll slots passed unpolled"),
              std::string::npos)
        << found[0].text;
    EXPECT_NE(found[0].text.find("(5 % planned), 0 time-outs, 0 late replies"), std::string::npos)
        << found[0].text;
}

// An output that cannot do its job, since it was first seen so; the broker
// with the messages that wait for it.
TEST(GatewayProblems, AnOutputsTroubleSinceItWasFirstSeenAndTheBrokersBacklog) {
    OutputHealth mqtt;
    mqtt.name = "mqtt";
    mqtt.enabled = true;
    mqtt.ready = false;
    mqtt.problem = "broker not connected";
    mqtt.details["queue"] = {{"messages", 7}};
    mqtt.figures.push_back({"qor_gateway_spool_messages", "", false, {}, 120});
    OutputHealth off;
    off.name = "modbus";
    off.problem = "modbus listener down";
    ProblemClock clock;
    auto first = std::chrono::system_clock::now();
    clock.Observe({mqtt, off}, first);
    clock.Observe({mqtt, off}, first + 5s);
    std::vector<Problem> found = FindProblems(PlantSnapshot{}, {mqtt, off}, {}, clock);
    ASSERT_EQ(Kinds(found), std::vector<std::string>{"mqtt"});
    EXPECT_EQ(found[0].since, first);
    EXPECT_EQ(found[0].text, "broker not connected; 120 messages wait for it");
    mqtt.ready = true;
    clock.Observe({mqtt}, first + 6s);
    EXPECT_EQ(clock.Since("mqtt"), std::chrono::system_clock::time_point{});
}

}  // namespace
}  // namespace qor::gateway
