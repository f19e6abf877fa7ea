// What the plant state keeps for the page, without a socket: which readings
// count as a change for a reader with a cursor, what /api/state then sends,
// alarms against a module's own limits, a failing poll's start, and a
// link's windows of load, lag and skipped slots.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "gateway/core/plant_state.h"
#include "gateway/http/state_json.h"
#include "qor_dll.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

PollSpec Poll(const char *name, Query query) {
    PollSpec p;
    p.name = name;
    p.query = query;
    return p;
}

// One link, two modules: "boiler" with its value and both limits, "pump"
// with a value only.
Config Plant() {
    Config c;
    LinkSpec link;
    link.name = "bus";
    link.target = "socket://127.0.0.1:7000";
    ModuleSpec boiler;
    boiler.name = "boiler";
    boiler.polls = {Poll("temp", Query::kRd), Poll("rh", Query::kRh), Poll("rl", Query::kRl)};
    ModuleSpec pump;
    pump.name = "pump";
    pump.polls = {Poll("rd", Query::kRd)};
    link.modules = {boiler, pump};
    c.links.push_back(link);
    return c;
}

Reading Good(double value) {
    Reading r;
    r.value = value;
    r.when = std::chrono::system_clock::now();
    return r;
}

Reading Failed(int status, int error, const char *text = "") {
    Reading r = Good(0);
    r.status = status;
    r.error = error;
    r.error_text = text;
    return r;
}

std::uint64_t Version(const PlantState &plant, std::size_t module) {
    return plant.Snapshot().links[0].modules[module].version;
}

// A value read again unchanged is no change (its freshness is told by
// time); a new value, outcome or error text is.
TEST(GatewayPlantChanges, OnlyWhatAReaderIsShownCountsAsAChange) {
    struct Step {
        const char *what;
        Reading reading;
        bool change;
    } steps[] = {
        {"the first reading", Good(72.1), true},
        {"the same value again", Good(72.1), false},
        {"a new value", Good(72.2), true},
        {"a time-out", Failed(QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY), true},
        {"the same time-out again", Failed(QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY), false},
        {"an error reply", Failed(QOR_STATUS_REPLY_FAULT, 'R', "?1 RANGE"), true},
        {"another error text", Failed(QOR_STATUS_REPLY_FAULT, 'R', "?1 SYNTAX"), true},
        {"the old value back", Good(72.2), true},
    };
    PlantState plant;
    plant.Layout(Plant());
    std::uint64_t pump = Version(plant, 1);
    for (const Step &step : steps) {
        std::uint64_t before = Version(plant, 0);
        plant.NoteReading({0, 0, 0}, step.reading, 0.01);
        EXPECT_EQ(Version(plant, 0) > before, step.change) << step.what;
        EXPECT_EQ(Version(plant, 1), pump) << step.what;
    }
    plant.NoteAvailability({0, 1}, Availability::kOffline);
    EXPECT_GT(Version(plant, 1), pump) << "an availability is a change";
}

Json State(const PlantSnapshot &s, std::optional<Cursor> since = std::nullopt) {
    StateExtras extras;
    extras.since = since;
    return Json::parse(RenderState(s, {}, GatewayInfo{}, extras));
}

std::vector<std::string> Sent(const Json &state) {
    std::vector<std::string> names;
    for (const Json &m : state["links"][0]["modules"]) {
        names.push_back(m["name"]);
    }
    return names;
}

// With the cursor of its last answer a reader gets the modules that changed
// since, those whose reading went stale meanwhile, and the newer events; a
// cursor of another start or an older layout gets everything.
TEST(GatewayPlantChanges, ACursorGetsOnlyTheModulesThatChangedOrWentStale) {
    PlantState plant;
    plant.Layout(Plant());
    plant.NoteReading({0, 0, 0}, Good(72.1), 0.01);
    plant.NoteReading({0, 1, 0}, Good(3.5), 0.01);
    Json first = State(plant.Snapshot());
    EXPECT_FALSE(first["changes_only"]);
    EXPECT_EQ(Sent(first), (std::vector<std::string>{"boiler", "pump"}));
    std::optional<Cursor> cursor = ParseCursor(first["cursor"].get<std::string>());
    ASSERT_TRUE(cursor);

    Json quiet = State(plant.Snapshot(), cursor);
    EXPECT_TRUE(quiet["changes_only"]);
    EXPECT_TRUE(Sent(quiet).empty());
    EXPECT_TRUE(quiet["events"].empty());

    plant.NoteReading({0, 1, 0}, Good(3.6), 0.01);
    plant.NoteAvailability({0, 1}, Availability::kOffline);
    Json moved = State(plant.Snapshot(), cursor);
    EXPECT_EQ(Sent(moved), std::vector<std::string>{"pump"});
    EXPECT_EQ(moved["links"][0]["modules"][0]["index"], 1);
    ASSERT_EQ(moved["events"].size(), 1u);
    EXPECT_EQ(moved["events"][0]["kind"], "module_offline");

    // No reading comes for longer than it may: the next answer after that
    // carries the module, marked stale, and the one after does not.
    cursor = ParseCursor(moved["cursor"].get<std::string>());
    PlantSnapshot later = plant.Snapshot();
    later.steady_now += StaleAfter(1000) + 1s;
    Json stale = State(later, cursor);
    EXPECT_EQ(Sent(stale), (std::vector<std::string>{"boiler", "pump"}));
    EXPECT_TRUE(stale["links"][0]["modules"][0]["queries"][0]["stale"]);
    EXPECT_TRUE(Sent(State(later, ParseCursor(stale["cursor"].get<std::string>()))).empty());

    for (const char *bad : {"1-2", "x-1-2", "1-2-3-4", "-1-2", ""}) {
        EXPECT_FALSE(ParseCursor(bad)) << bad;
    }
    Cursor other = *cursor;
    other.started_ms += 1;
    EXPECT_FALSE(State(plant.Snapshot(), other)["changes_only"]);
    plant.Layout(Plant());  // a reload: the places may name other modules now
    EXPECT_FALSE(State(plant.Snapshot(), cursor)["changes_only"]);
}

// The value polls of a module are held against the limits its rh and rl
// polls read; each crossing is an event and a change, with its time.
TEST(GatewayPlantChanges, AValueBeyondItsModulesLimitsIsAnAlarmUntilItIsBack) {
    struct Step {
        PollRef poll;
        double value;
        Alarm alarm;
    } steps[] = {
        {{0, 0, 0}, 105, Alarm::kNone},  // no limits read yet
        {{0, 0, 1}, 100, Alarm::kHigh},  // rh read: 105 is above it
        {{0, 0, 0}, 100, Alarm::kNone},  // at the limit is within it
        {{0, 0, 2}, -10, Alarm::kNone}, {{0, 0, 0}, -10.5, Alarm::kLow},
        {{0, 0, 1}, 100, Alarm::kLow},  // the limit read again: no new event
        {{0, 0, 0}, 20, Alarm::kNone},
    };
    PlantState plant;
    plant.Layout(Plant());
    std::size_t events = 0;
    Alarm was = Alarm::kNone;
    for (const Step &step : steps) {
        plant.NoteReading(step.poll, Good(step.value), 0.01);
        PlantSnapshot s = plant.Snapshot();
        const QueryView &temp = s.links[0].modules[0].queries[0];
        EXPECT_EQ(temp.alarm, step.alarm) << step.value;
        events += step.alarm != was ? 1 : 0;
        EXPECT_EQ(s.events.size(), events) << step.value;
        was = step.alarm;
    }
    Json j = State(plant.Snapshot());
    const Json &temp = j["links"][0]["modules"][0]["queries"][0];
    EXPECT_EQ(temp["limits"], Json({{"high", 100.0}, {"low", -10.0}}));
    EXPECT_FALSE(j["links"][0]["modules"][0]["queries"][1].contains("limits"));
    EXPECT_TRUE(temp["alarm"].is_null());
}

// A failing poll keeps the time its failures began, and its last good
// value with the true age of it, until a good reading ends them.
TEST(GatewayPlantChanges, AFailingPollKeepsItsStartAndItsLastGoodValue) {
    PlantState plant;
    plant.Layout(Plant());
    plant.NoteReading({0, 1, 0}, Good(3.5), 0.01);
    Reading first = Failed(QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY);
    plant.NoteReading({0, 1, 0}, first, 0.4);
    std::this_thread::sleep_for(5ms);
    plant.NoteReading({0, 1, 0}, Failed(QOR_STATUS_LINK_FAULT, QOR_ERROR_NOT_WRITTEN), 0);
    PlantSnapshot s = plant.Snapshot();
    const QueryView &q = s.links[0].modules[1].queries[0];
    ASSERT_TRUE(q.failing_since);
    EXPECT_EQ(*q.failing_since, first.when);
    Json pump = State(s)["links"][0]["modules"][1]["queries"][0];
    EXPECT_TRUE(pump["value"].is_null());
    EXPECT_EQ(pump["good"]["value"], 3.5);
    EXPECT_GT(pump["good"]["age_s"].get<double>(), pump["age_s"].get<double>());
    plant.NoteReading({0, 1, 0}, Good(3.5), 0.01);
    EXPECT_FALSE(plant.Snapshot().links[0].modules[1].queries[0].failing_since);
}

// A window's figures: the busy share of polls and commands, the most a
// poll lagged, the slots it skipped; link faults took no line time.
TEST(GatewayPlantChanges, ALinksWindowTellsItsLoadLagAndSkippedSlots) {
    PlantState plant(200ms);
    plant.Layout(Plant());
    EXPECT_LT(plant.Snapshot().links[0].recent.Load(), 0) << "no window has ended";
    plant.NoteReading({0, 0, 0}, Good(1), 0.05);
    plant.NoteSlot({0, 0, 0}, 0.02, 0);
    plant.NoteReading({0, 0, 0}, Failed(QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY), 0.04);
    plant.NoteSlot({0, 0, 0}, 0.07, 3);
    plant.NoteReading({0, 0, 0}, Failed(QOR_STATUS_LINK_FAULT, QOR_ERROR_NOT_WRITTEN), 0.5);
    plant.NoteBusy(0, 0.01);
    plant.NoteLateReplies(0, 2);
    std::this_thread::sleep_for(250ms);
    plant.NoteSlot({0, 1, 0}, 0.01, 0);  // closes the window
    PlantSnapshot s = plant.Snapshot();
    const LinkView &l = s.links[0];
    ASSERT_GE(l.recent.seconds, 0.2);
    EXPECT_NEAR(l.recent.change.busy_s, 0.1, 1e-9);
    EXPECT_NEAR(l.recent.Load(), 0.1 / l.recent.seconds, 1e-9);
    EXPECT_EQ(l.recent.lag_s, 0.07);
    EXPECT_EQ(l.recent.change.slots, 6u);
    EXPECT_EQ(l.recent.change.skipped, 3u);
    EXPECT_EQ(l.recent.change.timeouts, 1u);
    EXPECT_EQ(l.recent.change.late_replies, 2u);
    EXPECT_EQ(l.modules[0].queries[0].skipped, 3u);
    Json link = State(s)["links"][0];
    EXPECT_EQ(link["total"]["skipped"], 3);
    EXPECT_EQ(link["recent"]["lag_s"], 0.07);
}

}  // namespace
}  // namespace qor::gateway
