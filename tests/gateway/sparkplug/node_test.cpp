// The Sparkplug B node at C++ level, on its own broker connection against a
// real mosquitto on 127.0.0.1, watched by a client that decodes every
// payload with the gateway's own generated code.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "gateway/sparkplug/sparkplug_codec.h"
#include "gateway/sparkplug/sparkplug_node.h"
#include "sparkplug_b.pb-c.h"
#include "tests/gateway/broker/fixtures.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;
using test::Client;
using test::Clock;
using test::Mosquitto;
using test::WaitFor;

constexpr const char *kRoot = "spBv1.0/plant/";

struct Seen {
    std::string type;  // NBIRTH, DDATA...
    std::optional<std::uint64_t> seq;
    std::optional<std::uint64_t> bdseq;
    std::vector<std::string> metrics;
};

// What the node sent, decoded, in the order it arrived.
std::vector<Seen> Decode(const Client &watcher) {
    std::vector<Seen> seen;
    for (const Client::Received &m : watcher.Messages()) {
        if (m.topic.compare(0, std::string(kRoot).size(), kRoot) != 0) {
            continue;  // the host's STATE
        }
        std::string rest = m.topic.substr(std::string(kRoot).size());
        Seen s;
        s.type = rest.substr(0, rest.find('/'));
        if (s.type == "NCMD" || s.type == "DCMD") {
            continue;
        }
        Spb__Payload *p = spb__payload__unpack(nullptr, m.payload.size(),
                                               reinterpret_cast<const uint8_t *>(m.payload.data()));
        if (p == nullptr) {
            ADD_FAILURE() << "no payload on " << m.topic;
            continue;
        }
        if (p->has_seq) {
            s.seq = p->seq;
        }
        for (std::size_t i = 0; i < p->n_metrics; ++i) {
            std::string name = p->metrics[i]->name != nullptr ? p->metrics[i]->name : "";
            s.metrics.push_back(name);
            if (name == "bdSeq") {
                s.bdseq = p->metrics[i]->long_value;
            }
        }
        spb__payload__free_unpacked(p, nullptr);
        seen.push_back(std::move(s));
    }
    return seen;
}

std::vector<Seen> OfType(const std::vector<Seen> &seen, const std::string &type) {
    std::vector<Seen> found;
    for (const Seen &s : seen) {
        if (s.type == type) {
            found.push_back(s);
        }
    }
    return found;
}

// Modules m0, m1... each with an rd poll and an rh poll, hi writable.
std::vector<LinkSpec> Links(int modules) {
    LinkSpec link;
    link.name = "bus";
    for (int i = 0; i < modules; ++i) {
        ModuleSpec module;
        module.name = "m" + std::to_string(i);
        PollSpec rd;
        rd.name = "rd";
        PollSpec rh;
        rh.name = "rh";
        rh.query = Query::kRh;
        module.polls = {rd, rh};
        module.writable = {CommandKind::kHi};
        link.modules.push_back(module);
    }
    return {link};
}

// The error metric's texts in the DDATA of a device.
std::vector<std::string> Errors(const Client &watcher) {
    std::vector<std::string> errors;
    for (const Client::Received &m : watcher.Messages()) {
        if (m.topic.find("/DDATA/") == std::string::npos) {
            continue;
        }
        Spb__Payload *p = spb__payload__unpack(nullptr, m.payload.size(),
                                               reinterpret_cast<const uint8_t *>(m.payload.data()));
        for (std::size_t i = 0; p != nullptr && i < p->n_metrics; ++i) {
            if (p->metrics[i]->name != nullptr &&
                std::string(p->metrics[i]->name) == kSparkplugErrorMetric) {
                errors.emplace_back(p->metrics[i]->string_value);
            }
        }
        spb__payload__free_unpacked(p, nullptr);
    }
    return errors;
}

std::string StatePayload(bool online, std::uint64_t ms) {
    return std::string("{\"online\": ") + (online ? "true" : "false") +
           ", \"timestamp\": " + std::to_string(ms) + "}";
}

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

class SparkplugNodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        broker_ = std::make_unique<Mosquitto>(folder_.Path());
        watcher_ = std::make_unique<Client>(broker_->Port(), "spBv1.0/#", true);
    }

    std::unique_ptr<SparkplugNode> Node(const std::string &primary_host, int modules) {
        SparkplugSpec spec;
        spec.enabled = true;
        spec.group = "plant";
        spec.edge_node = "edge";
        spec.primary_host = primary_host;
        auto node = std::make_unique<SparkplugNode>(
            test::LocalBroker({broker_->Port()}, "node-test"), spec, [this](Command command) {
                std::lock_guard<std::mutex> lock(mutex_);
                submitted_.push_back(std::move(command));
            });
        node->SetLinks(Links(modules));
        std::string error;
        EXPECT_TRUE(node->Start(&error)) << error;
        return node;
    }

    test::TempFolder folder_;
    std::unique_ptr<Mosquitto> broker_;
    std::unique_ptr<Client> watcher_;
    std::size_t Submitted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return submitted_.size();
    }

    std::mutex mutex_;
    std::vector<Command> submitted_;
};

// The decoder behind qor-gateway --decode-sparkplug, on payloads of the
// gateway's own codec and on bytes that are none.
TEST(SparkplugDecoder, ShowsEveryMetricOfAPayloadAndRefusesOtherBytes) {
    std::string payload = sparkplug::Encode(
        1740830400250, 7,
        {{"bdSeq", sparkplug::kUInt64, 0, false, 3, "", "", 0},
         {"rd", sparkplug::kDouble, 1740830400000, false, 72.1, "",
          "\xc2\xb0"
          "C",
          1},
         {"re", sparkplug::kInt64, 0, false, -5, "", "", 0},
         {"", sparkplug::kBoolean, 0, false, 1, "", "", 4},
         {"Device Control/Error", sparkplug::kString, 0, false, 0, "rd: \x1b", "", 0},
         {"rh", sparkplug::kDouble, 0, true, 0, "", "", 0}});
    std::optional<std::string> text = sparkplug::DescribePayload(payload);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "timestamp: 2025-03-01T12:00:00.250Z (1740830400250)\n"
              "seq: 7\n"
              "metric \"bdSeq\": UInt64 3\n"
              "metric \"rd\" (alias 1): Double 72.1 at 2025-03-01T12:00:00.000Z, "
              "\"engUnit\" \"\xc2\xb0"
              "C\"\n"
              "metric \"re\": Int64 -5\n"
              "metric \"\" (alias 4): Boolean true\n"
              "metric \"Device Control/Error\": String \"rd: \\x1b\"\n"
              "metric \"rh\": Double null\n");
    EXPECT_FALSE(sparkplug::DescribePayload("\xff\xff\xff"));
    // A timestamp past what the clock counts (found by the fuzzer).
    EXPECT_EQ(sparkplug::DescribePayload(sparkplug::Encode(1ULL << 62, std::nullopt, {})),
              "timestamp: beyond the year 2262 (4611686018427387904)\nseq: none\n");
    EXPECT_EQ(sparkplug::DescribePayload(""), "seq: none\n");
}

// Four pollers' threads publish at once: seq still counts up by one in the
// order the messages reach a subscriber.
TEST_F(SparkplugNodeTest, SeqFollowsTheWireWhateverThreadPublishes) {
    auto node = Node("", 4);
    ASSERT_TRUE(WaitFor([&] { return node->Snapshot().born; }));
    std::vector<std::thread> pollers;
    for (int m = 0; m < 4; ++m) {
        pollers.emplace_back([&node, m] {
            node->OnAvailability("bus", "m" + std::to_string(m), true);
            for (int i = 0; i < 150; ++i) {
                Reading r;
                r.value = i;
                r.when = std::chrono::system_clock::now();
                node->OnReading("bus", "m" + std::to_string(m), "rd", r);
            }
        });
    }
    for (std::thread &t : pollers) {
        t.join();
    }
    ASSERT_TRUE(WaitFor([&] { return OfType(Decode(*watcher_), "DDATA").size() == 600; }));
    std::vector<Seen> seen = Decode(*watcher_);
    ASSERT_EQ(seen.front().type, "NBIRTH");
    std::uint64_t expected = 0;
    for (const Seen &s : seen) {
        ASSERT_TRUE(s.seq) << s.type;
        EXPECT_EQ(*s.seq, expected) << s.type;
        expected = (expected + 1) % 256;
    }
    EXPECT_EQ(OfType(seen, "DBIRTH").size(), 4u);
}

// Connections that end before the node was born keep the bdSeq their will
// carried; a session that sent its NBIRTH is followed by the next one.
TEST_F(SparkplugNodeTest, BdSeqMovesOnOnlyAfterASessionThatWasBorn) {
    auto node = Node("scada", 1);
    for (int restart = 0; restart < 2; ++restart) {
        ASSERT_TRUE(WaitFor([&] { return node->Snapshot().waiting_host; })) << restart;
        broker_->Stop();
        ASSERT_TRUE(WaitFor([&] { return !node->Snapshot().connected; })) << restart;
        broker_->Start();
    }
    watcher_ = std::make_unique<Client>(broker_->Port(), "spBv1.0/#", true);
    ASSERT_TRUE(WaitFor([&] { return node->Snapshot().waiting_host; }));
    watcher_->Publish("spBv1.0/STATE/scada", StatePayload(true, NowMs()), true);
    ASSERT_TRUE(WaitFor([&] { return !OfType(Decode(*watcher_), "NBIRTH").empty(); }));
    EXPECT_EQ(OfType(Decode(*watcher_), "NBIRTH")[0].bdseq, 0u);

    broker_->Stop();
    ASSERT_TRUE(WaitFor([&] { return !node->Snapshot().connected; }));
    broker_->Start();
    watcher_ = std::make_unique<Client>(broker_->Port(), "spBv1.0/#", true);
    watcher_->Publish("spBv1.0/STATE/scada", StatePayload(true, NowMs() + 1), true);
    ASSERT_TRUE(WaitFor([&] { return !OfType(Decode(*watcher_), "NBIRTH").empty(); }));
    EXPECT_EQ(OfType(Decode(*watcher_), "NBIRTH")[0].bdseq, 1u);
    EXPECT_EQ(node->Snapshot().bdseq, 1u);
}

// A STATE stamped years ahead (a host's clock gone wrong) is not taken as
// the newest: the host's real "online" that follows still brings the births.
TEST_F(SparkplugNodeTest, AStateFromTheFutureDoesNotStopTheBirths) {
    auto node = Node("scada", 1);
    ASSERT_TRUE(WaitFor([&] { return node->Snapshot().waiting_host; }));
    std::uint64_t ten_years = 10ULL * 365 * 24 * 3600 * 1000;
    watcher_->Publish("spBv1.0/STATE/scada", StatePayload(false, NowMs() + ten_years), true);
    watcher_->Publish("spBv1.0/STATE/scada", StatePayload(true, NowMs()), true);
    ASSERT_TRUE(WaitFor([&] { return !OfType(Decode(*watcher_), "NBIRTH").empty(); }));
    EXPECT_TRUE(node->Snapshot().born);
}

// However many metrics a DCMD names, it is answered with one error DDATA at
// most; one too large is refused whole; a Boolean is no limit.
TEST_F(SparkplugNodeTest, ADeviceCommandIsAnsweredOnceAndWithinBounds) {
    auto node = Node("", 1);
    ASSERT_TRUE(WaitFor([&] { return node->Snapshot().born; }));
    node->OnAvailability("bus", "m0", true);
    ASSERT_TRUE(WaitFor([&] { return !OfType(Decode(*watcher_), "DBIRTH").empty(); }));
    auto metric = [](const std::string &name, std::uint32_t type, double value) {
        return sparkplug::Metric{name, type, 0, false, value, "", "", 0};
    };
    std::vector<sparkplug::Metric> many;
    for (int i = 0; i < 50000; ++i) {
        many.push_back(metric("x" + std::to_string(i), sparkplug::kDouble, 1));
    }
    struct Case {
        std::vector<sparkplug::Metric> metrics;
        std::string error;  // empty: none, and one write
    };
    const std::string big = sparkplug::Encode(1, std::nullopt, many);
    const Case cases[] = {
        {{metric("a", sparkplug::kDouble, 1), metric("b", sparkplug::kDouble, 1),
          metric("rd", sparkplug::kDouble, 1)},
         "a: no such metric (and 2 more refused)"},
        {many, "the DCMD has " + std::to_string(big.size()) + " bytes, more than 65536"},
        {{metric("rh", sparkplug::kBoolean, 1)}, "rh: takes a number, not a Boolean"},
        {{metric("rh", sparkplug::kDouble, 88.5)}, ""},
    };
    std::size_t errors = 0;
    for (const Case &c : cases) {
        watcher_->Publish("spBv1.0/plant/DCMD/edge/bus:m0",
                          sparkplug::Encode(1, std::nullopt, c.metrics));
        errors += c.error.empty() ? 0 : 1;
        if (c.error.empty()) {
            ASSERT_TRUE(WaitFor([&] { return Submitted() == 1; }));
            continue;
        }
        ASSERT_TRUE(WaitFor([&] { return Errors(*watcher_).size() >= errors; }));
        EXPECT_EQ(Errors(*watcher_).back(), c.error);
    }
    EXPECT_EQ(Errors(*watcher_).size(), 3u);
    EXPECT_EQ(Submitted(), 1u);
}

}  // namespace
}  // namespace qor::gateway
