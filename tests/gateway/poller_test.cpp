// One link's poller against a real qor-sim over TCP: what reaches the
// outbox (readings in seq order, command results) and the state board
// (availability, counters) while the simulator misses replies here and
// there, and what a stop leaves behind.
#include "gateway/core/poller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qor_dll.h"
#include "sim/sim_process.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr int kPort = 60;
constexpr int kOfflineAfter = 3;

// Every availability and counters value the poller sets, in order.
class Board {
  public:
    Board() {
        board_.SetWake([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto &[topic, payload] : board_.TakeChanged()) {
                if (topic.size() > 13 &&
                    topic.compare(topic.size() - 13, 13, "/availability") == 0) {
                    availability_.push_back(payload);
                } else {
                    counters_ = payload;
                }
            }
        });
    }
    StateBoard &State() { return board_; }
    std::vector<std::string> Availability() {
        std::lock_guard<std::mutex> lock(mutex_);
        return availability_;
    }
    Json Counters() {
        std::lock_guard<std::mutex> lock(mutex_);
        return counters_.empty() ? Json() : Json::parse(counters_);
    }

  private:
    StateBoard board_;
    std::mutex mutex_;
    std::vector<std::string> availability_;
    std::string counters_;
};

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
    return PollerSettings{"p", kOfflineAfter, std::chrono::seconds(3600)};
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
    Outbox outbox(100000);
    Board board;
    const auto before = std::chrono::steady_clock::now();
    LinkPoller poller(OneModule(sim.Where(), interval, 40), kPort, Settings(), outbox,
                      board.State());
    const auto after = std::chrono::steady_clock::now();
    poller.Start();
    std::vector<Json> readings;
    const auto give_up = std::chrono::steady_clock::now() + 30s;
    for (;;) {
        while (auto message = outbox.Take()) {
            readings.push_back(Json::parse(message->message.payload));
            readings.back()["topic"] = message->message.topic;
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
    while (auto message = outbox.Take()) {
        readings.push_back(Json::parse(message->message.payload));
        readings.back()["topic"] = message->message.topic;
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
    EXPECT_EQ(board.Availability(), expected);

    // The last counters went out at the stop.
    Json counters = board.Counters();
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
    Outbox outbox(1000);
    Board board;
    LinkPoller poller(OneModule(sim.Where(), 3600s, 100), kPort, Settings(), outbox, board.State());
    int accepted = 0;
    for (std::size_t i = 0; i <= kMaxQueuedCommands; ++i) {
        PendingCommand command{"m",     CommandArgs{}, "reply/" + std::to_string(i), "c", "",
                               nullptr, std::nullopt};
        command.args.kind = CommandKind::kTs;
        accepted += poller.Submit(command) ? 1 : 0;
    }
    EXPECT_EQ(accepted, static_cast<int>(kMaxQueuedCommands));
    // Every transaction is a miss of 100 ms: a command, then the two polls
    // (due at once), each after a command.
    poller.Start();
    std::vector<std::string> order;
    std::vector<Json> results;
    int ran = 0;
    auto take = [&] {
        while (auto message = outbox.Take()) {
            order.push_back(message->message.topic.substr(0, message->message.topic.find('/')));
            if (message->message.topic.rfind("reply/", 0) == 0) {
                EXPECT_EQ(message->message.topic, "reply/" + std::to_string(results.size()));
                EXPECT_EQ(message->message.correlation, "c");
                results.push_back(Json::parse(message->message.payload));
                ran += results.back().contains("status") ? 1 : 0;
            }
        }
    };
    for (int waited = 0; order.size() < 3 && waited < 5000; waited += 5) {
        take();
        std::this_thread::sleep_for(5ms);
    }
    poller.Stop();
    EXPECT_FALSE(poller.Submit(
        PendingCommand{"m", CommandArgs{}, "reply/late", "", "", nullptr, std::nullopt}));
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
    Json counters = board.Counters();
    ASSERT_TRUE(counters.is_object());
    EXPECT_EQ(counters["commands"], ran);
    // The commands' misses are not the polls'.
    EXPECT_EQ(counters["timeouts"], std::count(order.begin(), order.end(), "p"));
    EXPECT_EQ(board.Availability(), std::vector<std::string>{});
}

// A command with a completion callback is told its result; it is published
// as well only where it names a reply topic (Modbus writes do, Sparkplug B
// writes do not), with its origin.
TEST(GatewayPoller, CompletionsAndRepliesOfCommands) {
    qor::test::SimProcess sim({"--listen", "127.0.0.1:0", "--silent"});
    ASSERT_FALSE(sim.Where().empty());
    Outbox outbox(1000);
    Board board;
    LinkPoller poller(OneModule(sim.Where(), 3600s, 100), kPort, Settings(), outbox, board.State());
    std::mutex mutex;
    std::set<std::string> told;  // on the poller's thread
    for (const char *topic : {"reply/modbus", ""}) {
        PendingCommand command;
        command.module = "m";
        command.args.kind = CommandKind::kTs;
        command.reply_topic = topic;
        command.origin = *topic != '\0' ? "modbus 127.0.0.1:5020" : "";
        command.done = [&mutex, &told, topic](const CommandResult &r) {
            std::lock_guard<std::mutex> lock(mutex);
            told.insert(std::string(topic) + (r.ran ? ": ran" : ": not run"));
        };
        ASSERT_TRUE(poller.Submit(std::move(command)));
    }
    poller.Start();
    for (int waited = 0; waited < 5000; waited += 5) {
        std::lock_guard<std::mutex> lock(mutex);
        if (told.size() == 2) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    poller.Stop();
    EXPECT_EQ(told, (std::set<std::string>{"reply/modbus: ran", ": ran"}));
    std::vector<std::string> topics;
    while (auto message = outbox.Take()) {
        topics.push_back(message->message.topic);
        if (message->message.topic == "reply/modbus") {
            EXPECT_EQ(Json::parse(message->message.payload)["origin"], "modbus 127.0.0.1:5020");
        }
    }
    EXPECT_EQ(std::count(topics.begin(), topics.end(), "reply/modbus"), 1);
    EXPECT_EQ(std::count(topics.begin(), topics.end(), ""), 0);
}

}  // namespace
}  // namespace qor::gateway
