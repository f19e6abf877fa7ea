// One link's poller against a real qor-sim over TCP: what it tells the
// outputs (readings in seq order, availability, counters, command results)
// while the simulator misses replies here and there, and what a stop
// leaves behind.
#include "gateway/core/poller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qor_dll.h"
#include "sim/sim_process.h"
#include "tests/gateway/core/listening_output.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr int kPort = 60;
constexpr int kOfflineAfter = 3;

// What the poller tells its outputs, in order: published readings (as the
// JSON topics would publish them, with their seq and their poll's name),
// availability, the last counters, and results. A recording output: the
// poller under it runs against a real simulator.
class Recorder : public ListeningOutput {
  public:
    const char *Name() const override { return "recorder"; }

    void OnReading(const PollRef &poll, const Reading &reading, bool published) override {
        if (!published) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        Json r = {{"status", reading.status},
                  {"error", reading.error},
                  {"seq", reading.seq},
                  {"topic", poll.poll == 0 ? "p/rd" : "p/in"}};
        events_.push_back(r);
    }
    void OnAvailability(const ModuleRef &, Availability availability) override {
        std::lock_guard<std::mutex> lock(mutex_);
        availability_.push_back(AvailabilityName(availability));
    }
    void OnCounters(const ModuleRef &, const ModuleCounters &c) override {
        std::lock_guard<std::mutex> lock(mutex_);
        counters_ = {{"replies", c.replies},   {"timeouts", c.timeouts},
                     {"errors", c.errors},     {"link_faults", c.link_faults},
                     {"overruns", c.overruns}, {"commands", c.commands}};
    }
    void OnResult(const Command &command, const CommandResult &result) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Json r = {{"topic", command.reply_topic},
                  {"correlation", command.correlation},
                  {"ok", result.ran && result.status == 0},
                  {"origin", result.origin}};
        if (result.ran) {
            r["status"] = result.status;
        } else {
            r["reason"] = result.reason;
        }
        events_.push_back(r);
    }

    // Readings and results told since the last call.
    std::vector<Json> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Json> taken;
        taken.swap(events_);
        return taken;
    }
    std::vector<std::string> Availability() {
        std::lock_guard<std::mutex> lock(mutex_);
        return availability_;
    }
    Json Counters() {
        std::lock_guard<std::mutex> lock(mutex_);
        return counters_;
    }

  private:
    std::mutex mutex_;
    std::vector<Json> events_;
    std::vector<std::string> availability_;
    Json counters_;
};

// The plant state and the recorder, as the gateway wires its outputs.
struct Plant {
    Plant() { outputs.Add(&recorder); }
    PlantState state;
    Outputs outputs{state};
    Recorder recorder;
};

Command CommandFor(const std::string &reply_topic) {
    Command command;
    command.link = "bus";
    command.module = "m";
    command.name = "ts";
    command.args.kind = CommandKind::kTs;
    command.reply_topic = reply_topic;
    command.correlation = "c";
    return command;
}

LinkSpec OneModule(const std::string &where, std::chrono::milliseconds interval, int timeout_ms) {
    LinkSpec link;
    link.name = "bus";
    link.target = "socket://" + where + "?timeout_ms=" + std::to_string(timeout_ms);
    ModuleSpec module;
    module.name = "m";
    PollSpec rd;
    rd.name = "rd";
    rd.interval = interval;
    module.polls.push_back(rd);
    // Three input bytes, where the simulator has two: a bad DI reply.
    PollSpec in;
    in.name = "in";
    in.query = Query::kDi;
    in.interval = interval;
    in.bytes = 3;
    module.polls.push_back(in);
    module.writable = {CommandKind::kTs};
    link.modules.push_back(module);
    return link;
}

PollerSettings Settings() {
    return PollerSettings{kOfflineAfter, std::chrono::seconds(3600)};
}

bool Missed(const Json &reading) {
    return reading["status"] == QOR_STATUS_REPLY_FAULT && reading["error"] == QOR_ERROR_NO_REPLY;
}

// How far the readings have tried the counting: the lengths of the runs
// of misses that ended in an answer, and whether an answer that is not a
// value (a bad DI reply) ended one.
struct Runs {
    std::set<int> answered;
    bool ended_by_bad_reply = false;
};

Runs RunsOf(const std::vector<Json> &readings) {
    Runs runs;
    int run = 0;
    for (const Json &r : readings) {
        if (Missed(r)) {
            ++run;
            continue;
        }
        if (run > 0) {
            runs.answered.insert(run);
            runs.ended_by_bad_reply = runs.ended_by_bad_reply || r["status"] != QOR_STATUS_OK;
        }
        run = 0;
    }
    return runs;
}

// A module goes offline after kOfflineAfter misses in a row and comes back
// with its first answer, also one that is not a value.
TEST(GatewayPoller, AvailabilityAndCountersFollowScatteredMisses) {
    // A random fault on more than half the replies: silence, a reply cut short,
    // padded past its length, noise before it; no late replies.
    qor::test::SimProcess sim({"--listen", "127.0.0.1:0", "--steady", "--fault-rate", "0.6",
                               "--seed", "11", "--fault-delay-ms", "0-0"});
    ASSERT_FALSE(sim.Where().empty());
    const auto interval = 20ms;
    Plant plant;
    const auto before = std::chrono::steady_clock::now();
    LinkPoller poller(OneModule(sim.Where(), interval, 40), 0, kPort, Settings(), plant.outputs);
    const auto after = std::chrono::steady_clock::now();
    poller.Start();
    std::vector<Json> readings;
    const auto give_up = std::chrono::steady_clock::now() + 30s;
    for (;;) {
        for (Json &r : plant.recorder.Take()) {
            readings.push_back(std::move(r));
        }
        Runs runs = RunsOf(readings);
        bool tried = runs.answered.count(kOfflineAfter - 1) == 1 &&
                     runs.answered.count(kOfflineAfter) == 1 && runs.ended_by_bad_reply;
        if (tried || std::chrono::steady_clock::now() > give_up) {
            ASSERT_TRUE(tried) << readings.size() << " readings";
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    poller.Stop();
    const auto stopped = std::chrono::steady_clock::now();
    for (Json &r : plant.recorder.Take()) {
        readings.push_back(std::move(r));
    }

    std::vector<std::string> expected;
    std::map<std::string, std::uint64_t> seq;
    std::uint64_t replies = 0;
    std::uint64_t timeouts = 0;
    std::uint64_t errors = 0;
    int missed = 0;
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const Json &r = readings[i];
        EXPECT_EQ(r["seq"], ++seq[r["topic"]]) << i;
        if (!Missed(r)) {
            missed = 0;
            if (expected.empty() || expected.back() != "online") {
                expected.push_back("online");
            }
        } else if (++missed >= kOfflineAfter &&
                   (expected.empty() || expected.back() != "offline")) {
            expected.push_back("offline");
        }
        replies += r["status"] == QOR_STATUS_OK ? 1 : 0;
        timeouts += Missed(r) ? 1 : 0;
        errors += r["status"] != QOR_STATUS_OK && !Missed(r) ? 1 : 0;
    }
    EXPECT_EQ(seq.size(), 2u);
    EXPECT_EQ(plant.recorder.Availability(), expected);

    // The last counters went out at the stop.
    Json counters = plant.recorder.Counters();
    ASSERT_TRUE(counters.is_object());
    EXPECT_EQ(counters["replies"], replies);
    EXPECT_EQ(counters["timeouts"], timeouts);
    EXPECT_EQ(counters["errors"], errors);
    EXPECT_EQ(counters["link_faults"], 0);
    EXPECT_EQ(counters["commands"], 0);
    // Every slot of the two polls' grids was either polled or counted as
    // skipped.
    const auto slots = [interval](auto span) { return static_cast<long>(span / interval); };
    long used = static_cast<long>(readings.size()) + counters["overruns"].get<long>();
    EXPECT_GT(counters["overruns"].get<long>(), 0);
    EXPECT_LE(used, 2 * (slots(stopped - before) + 1));
    EXPECT_GE(used, 2 * (slots(stopped - after) - 10));  // the last polls may have run late
}

// Commands queue up to a bound and take turns with the polls; a stop lets
// the transaction in progress finish, answers the queued commands as not
// run, publishes the counters and takes no more commands.
TEST(GatewayPoller, CommandsTakeTurnsWithPollsAndAStopAnswersTheRest) {
    qor::test::SimProcess sim({"--listen", "127.0.0.1:0", "--silent"});
    ASSERT_FALSE(sim.Where().empty());
    Plant plant;
    LinkPoller poller(OneModule(sim.Where(), 3600s, 100), 0, kPort, Settings(), plant.outputs);
    int accepted = 0;
    for (std::size_t i = 0; i <= kMaxQueuedCommands; ++i) {
        accepted += poller.Submit(CommandFor("reply/" + std::to_string(i))) ? 1 : 0;
    }
    EXPECT_EQ(accepted, static_cast<int>(kMaxQueuedCommands));
    // Every transaction is a miss of 100 ms: a command, then the two polls
    // (due at once), each after a command.
    poller.Start();
    std::vector<std::string> order;
    std::vector<Json> results;
    int ran = 0;
    auto take = [&] {
        for (Json &event : plant.recorder.Take()) {
            std::string topic = event["topic"];
            order.push_back(topic.substr(0, topic.find('/')));
            if (topic.rfind("reply/", 0) == 0) {
                EXPECT_EQ(topic, "reply/" + std::to_string(results.size()));
                EXPECT_EQ(event["correlation"], "c");
                results.push_back(event);
                ran += results.back().contains("status") ? 1 : 0;
            }
        }
    };
    for (int waited = 0; order.size() < 3 && waited < 5000; waited += 5) {
        take();
        std::this_thread::sleep_for(5ms);
    }
    poller.Stop();
    EXPECT_FALSE(poller.Submit(CommandFor("reply/late")));
    take();
    ASSERT_GE(order.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 3),
              (std::vector<std::string>{"reply", "p", "reply"}));
    ASSERT_EQ(results.size(), kMaxQueuedCommands);
    EXPECT_GE(ran, 2);
    EXPECT_LT(ran, 5);
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Json &r = results[i];
        EXPECT_EQ(r["ok"], false);
        if (static_cast<int>(i) < ran) {
            EXPECT_EQ(r["status"], QOR_STATUS_REPLY_FAULT);
        } else {
            EXPECT_EQ(r["reason"], "the gateway is stopping; not run");
        }
    }
    Json counters = plant.recorder.Counters();
    ASSERT_TRUE(counters.is_object());
    EXPECT_EQ(counters["commands"], ran);
    // The commands' misses are not the polls'.
    EXPECT_EQ(counters["timeouts"], std::count(order.begin(), order.end(), "p"));
    EXPECT_EQ(plant.recorder.Availability(), std::vector<std::string>{});
}

// By exception, at the poller: the first reading after a start goes out
// whatever the rule says, a steady value then stays in (while every reading
// still reaches the plant state), and a change of status goes out at once.
TEST(GatewayPoller, ByExceptionTheFirstReadingAndAChangeOfStatusGoOut) {
    auto sim = std::make_unique<qor::test::SimProcess>(
        std::vector<std::string>{"--listen", "127.0.0.1:0", "--steady"});
    ASSERT_FALSE(sim->Where().empty());
    LinkSpec link = OneModule(sim->Where(), 20ms, 100);
    PollSpec &rd = link.modules[0].polls[0];
    rd.report.enabled = true;
    rd.report.deadband = 1000;  // a steady value never moves that far
    link.modules[0].polls.resize(1);
    Plant plant;
    plant.state.Layout([&link] {
        Config c;
        c.links.push_back(link);
        return c;
    }());
    LinkPoller poller(link, 0, kPort, Settings(), plant.outputs);
    poller.Start();
    auto polled = [&plant] {
        return plant.state.Snapshot().links[0].modules[0].queries[0].outcomes[0];
    };
    for (int waited = 0; waited < 10000 && polled() < 5; waited += 10) {
        std::this_thread::sleep_for(10ms);
    }
    std::vector<Json> published = plant.recorder.Take();
    ASSERT_EQ(published.size(), 1u);  // the first, of at least five
    EXPECT_EQ(published[0]["status"], QOR_STATUS_OK);
    EXPECT_EQ(published[0]["seq"], 1);
    sim.reset();  // the module goes silent: a change of status
    for (int waited = 0; waited < 10000 && published.size() < 2; waited += 10) {
        for (Json &r : plant.recorder.Take()) {
            published.push_back(std::move(r));
        }
        std::this_thread::sleep_for(10ms);
    }
    poller.Stop();
    ASSERT_GE(published.size(), 2u);
    EXPECT_NE(published[1]["status"], QOR_STATUS_OK);
    EXPECT_EQ(published[1]["seq"], 2);
}

// Every command is answered through the outputs and then its own
// completion, whoever sent it; a Modbus write's result names its client.
// A good write with a read-back runs its poll at once, and the reading
// goes out like any other.
TEST(GatewayPoller, CompletionsReadBacksAndOriginsOfCommands) {
    qor::test::SimProcess sim({"--listen", "127.0.0.1:0"});
    ASSERT_FALSE(sim.Where().empty());
    Plant plant;
    LinkPoller poller(OneModule(sim.Where(), 3600s, 500), 0, kPort, Settings(), plant.outputs);
    std::mutex mutex;
    std::set<std::string> told;  // on the poller's thread
    for (Origin origin : {Origin::kModbus, Origin::kSparkplug}) {
        Command command = CommandFor("");
        command.origin = origin;
        command.who = origin == Origin::kModbus ? "127.0.0.1:5020" : "bus:m";
        command.read_back = origin == Origin::kSparkplug ? "rd" : "";
        command.done = [&mutex, &told, origin](const CommandResult &r) {
            std::lock_guard<std::mutex> lock(mutex);
            told.insert(std::string(origin == Origin::kModbus ? "modbus" : "sparkplug") +
                        (r.ran ? ": ran" : ": not run"));
        };
        ASSERT_TRUE(poller.Submit(std::move(command)));
    }
    poller.Start();
    std::vector<Json> events;
    for (int waited = 0; waited < 10000 && events.size() < 5; waited += 5) {
        // the two polls due at once, two results, a read-back
        for (Json &e : plant.recorder.Take()) {
            events.push_back(std::move(e));
        }
        std::this_thread::sleep_for(5ms);
    }
    poller.Stop();
    EXPECT_EQ(told, (std::set<std::string>{"modbus: ran", "sparkplug: ran"}));
    std::vector<std::string> origins;
    int rd = 0;
    for (const Json &e : events) {
        if (e.contains("origin")) {
            origins.push_back(e["origin"]);
        }
        rd += e["topic"] == "p/rd" ? 1 : 0;
    }
    EXPECT_EQ(origins, (std::vector<std::string>{"modbus 127.0.0.1:5020", ""}));
    EXPECT_EQ(rd, 2);  // its poll, and the read-back after the good write
}

}  // namespace
}  // namespace qor::gateway
