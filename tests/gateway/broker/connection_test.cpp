// The broker connection against real peers on 127.0.0.1: a mosquitto broker,
// servers that never answer or close at once, a 3.1.1-only front, a name
// server that never answers, and TLS certificates made for the test.
#include "gateway/broker/connection.h"

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/gateway/broker/fixtures.h"
#include "tests/support/run_program.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;
using test::Client;
using test::Clock;
using test::Mosquitto;
using test::TcpServer;
using test::WaitFor;

// Each test's log lines of their own, so that no test's flood summary
// swallows another's.
ConnectionWords Words(const char *kind) {
    return {"", kind, kind, kind, kind};
}

class Recorder : public ConnectionUser {
  public:
    void OnConnected(const BrokerLimits &limits) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++connects;
        this->limits = limits;
    }
    void OnSubscribed() override { ++subscribed; }
    void OnMessage(IncomingMessage message) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(std::move(message));
    }
    std::vector<IncomingMessage> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
    int Connects() {
        std::lock_guard<std::mutex> lock(mutex);
        return connects;
    }
    MqttVersion Version() {
        std::lock_guard<std::mutex> lock(mutex);
        return limits.version;
    }

    std::mutex mutex;
    int connects = 0;
    std::atomic<int> subscribed{0};
    BrokerLimits limits;
    std::vector<IncomingMessage> messages;
};

std::string Where(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

// The rule of the broker list, for one, two and three brokers: the next at
// once, the backoff's delay (doubling) once a round has failed.
TEST(BrokerRotation, TheDelayComesOncePerRoundOfTheList) {
    struct Case {
        std::size_t brokers;
        std::vector<long> delays_ms;  // of the attempts in turn
    };
    const Case cases[] = {
        {1, {500, 1000, 2000, 4000}},
        {2, {0, 500, 0, 1000, 0, 2000}},
        {3, {0, 0, 500, 0, 0, 1000}},
    };
    for (const Case &c : cases) {
        Backoff backoff(500ms, 30s);
        std::size_t host = 0;
        Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < c.delays_ms.size(); ++i) {
            auto at = RotateHost(&host, c.brokers, now, backoff);
            EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(at - now).count(),
                      c.delays_ms[i])
                << c.brokers << " brokers, attempt " << i;
            EXPECT_EQ(host, (i + 1) % c.brokers);
        }
    }
}

class BrokerConnectionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new test::TempFolder;
        broker_ = new Mosquitto(folder_->Path());
    }
    static void TearDownTestSuite() {
        delete broker_;
        delete folder_;
    }

    static test::TempFolder *folder_;
    static Mosquitto *broker_;
};

test::TempFolder *BrokerConnectionTest::folder_ = nullptr;
Mosquitto *BrokerConnectionTest::broker_ = nullptr;

TEST_F(BrokerConnectionTest, ConnectsSubscribesAndCarriesMessagesBothWays) {
    Recorder user;
    BrokerConnection connection(test::LocalBroker({broker_->Port()}, "conn-both-ways"), "conn-both",
                                Words("both ways"), user);
    connection.SetSubscriptions({{"in/#", true}});
    std::string error;
    ASSERT_TRUE(connection.Start(&error)) << error;
    std::string why;
    ASSERT_TRUE(connection.WaitConnected(Clock::now() + 10s, nullptr, &why)) << why;
    ASSERT_TRUE(WaitFor([&] { return user.subscribed > 0; }));
    EXPECT_EQ(connection.State().protocol, "5");
    EXPECT_EQ(connection.State().where, Where(broker_->Port()));
    Client peer(broker_->Port(), "out/#");
    peer.Publish("in/a", "hello");
    ASSERT_TRUE(WaitFor([&] { return !user.Messages().empty(); }));
    EXPECT_EQ(user.Messages()[0].topic, "in/a");
    EXPECT_EQ(user.Messages()[0].payload, "hello");
    // Posted from this thread, sent by the connection's in the order posted.
    for (int i = 0; i < 50; ++i) {
        connection.Post({"out/x", std::to_string(i), 0});
    }
    ASSERT_TRUE(WaitFor([&] { return peer.On("out/x").size() == 50; }));
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(peer.On("out/x")[i], std::to_string(i));
    }
}

// Two brokers that close every connection: each round tries the first, the
// second at once, and then waits the backoff's delay, which doubles by
// round.
TEST_F(BrokerConnectionTest, AFailedBrokerIsPassedOverAtOnceAndTheDelayComesOncePerRound) {
    TcpServer first(TcpServer::Mode::kClose);
    TcpServer second(TcpServer::Mode::kClose);
    BrokerSpec spec = test::LocalBroker({first.Port(), second.Port()}, "conn-rounds");
    spec.protocol = MqttProtocol::kV5;
    Recorder user;
    testing::internal::CaptureStderr();
    {
        BrokerConnection connection(spec, "conn-rounds", Words("rounds"), user);
        std::string error;
        ASSERT_TRUE(connection.Start(&error)) << error;
        EXPECT_TRUE(WaitFor([&] { return second.Accepted().size() >= 2; }));
        EXPECT_TRUE(WaitFor([&] { return first.Accepted().size() >= 3; }));
    }
    std::string log = testing::internal::GetCapturedStderr();
    auto a = first.Accepted();
    auto b = second.Accepted();
    ASSERT_GE(a.size(), 3u);
    ASSERT_GE(b.size(), 2u);
    for (std::size_t round = 0; round < 2; ++round) {
        EXPECT_LE(a[round], b[round]) << round;
        EXPECT_GE(a[round + 1] - b[round], std::chrono::milliseconds(500 << round)) << round;
    }
    std::string closed =
        "the broker closed the connection before answering; it may not speak "
        "MQTT 5 (protocol = \"3.1.1\")";
    EXPECT_NE(log.find("broker " + Where(first.Port()) + ": cannot connect (" + closed +
                       "); trying " + Where(second.Port()) + " next"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("broker " + Where(second.Port()) + ": cannot connect (" + closed +
                       "); next attempt in 500 ms"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("next attempt in 1000 ms"), std::string::npos) << log;
    EXPECT_EQ(log.find("); next attempt in 500 ms", log.find("next attempt in 500 ms") + 1),
              std::string::npos)
        << log;
}

TEST_F(BrokerConnectionTest, TheNextBrokerIsReachedWhenTheFirstIsDown) {
    TcpServer down(TcpServer::Mode::kClose);
    BrokerSpec spec = test::LocalBroker({down.Port(), broker_->Port()}, "conn-failover");
    spec.protocol = MqttProtocol::kV5;
    Recorder user;
    BrokerConnection connection(spec, "conn-failover", Words("failover"), user);
    std::string error;
    ASSERT_TRUE(connection.Start(&error)) << error;
    std::string why;
    ASSERT_TRUE(connection.WaitConnected(Clock::now() + 10s, nullptr, &why)) << why;
    EXPECT_EQ(connection.State().where, Where(broker_->Port()));
    EXPECT_EQ(down.Accepted().size(), 1u);
}

// A server that takes the connection and never answers CONNECT is closed
// after connect_timeout_s, and tried again.
TEST_F(BrokerConnectionTest, ASilentServerIsLeftWhenNoConnackComesInTime) {
    TcpServer silent(TcpServer::Mode::kSilent);
    BrokerSpec spec = test::LocalBroker({silent.Port()}, "conn-silent");
    spec.connect_timeout_s = 1;
    Recorder user;
    BrokerConnection connection(spec, "conn-silent", Words("silent"), user);
    std::string error;
    ASSERT_TRUE(connection.Start(&error)) << error;
    ASSERT_TRUE(WaitFor([&] { return silent.Accepted().size() >= 2; }));
    EXPECT_GE(silent.Accepted()[1] - silent.Accepted()[0], 1s);
    std::string why;
    EXPECT_FALSE(connection.WaitConnected(Clock::now(), nullptr, &why));
    EXPECT_EQ(why, "no CONNACK within 1 s of connecting");
    EXPECT_EQ(user.Connects(), 0);
}

// A user that publishes a message the broker cannot take at every
// connection, as a result resent from the spool would.
class Poisoner : public Recorder {
  public:
    explicit Poisoner(BrokerConnection **connection) : connection_(connection) {}
    void Turn(Clock::time_point, bool connected) override {
        if (connected && !sent_) {
            std::string deep = "deep";
            for (int i = 0; i < 210; ++i) {
                deep += "/l";
            }
            (*connection_)->Publish(deep, "x", 1, false, "", nullptr);
            sent_ = true;
        }
    }
    void OnClosed(bool, int) override { sent_ = false; }

  private:
    BrokerConnection **connection_;
    bool sent_ = false;
};

// Apart from the threaded cases: libmosquitto 2.0.11 unlocks a mutex it
// does not hold when a broker's DISCONNECT ends the connection, which
// ThreadSanitizer reports though one thread alone uses the client.
class BrokerClosingTest : public BrokerConnectionTest {};

// The broker ends the connection with a reason at each such message: the
// log names that reason, and never takes it for another client with the
// same id.
TEST_F(BrokerClosingTest, ABrokersReasonForClosingIsLoggedAsSuch) {
    BrokerConnection *pointer = nullptr;
    Poisoner user(&pointer);
    testing::internal::CaptureStderr();
    {
        BrokerConnection connection(test::LocalBroker({broker_->Port()}, "conn-poison"),
                                    "conn-poison", Words("poison"), user);
        pointer = &connection;
        std::string error;
        ASSERT_TRUE(connection.Start(&error)) << error;
        EXPECT_TRUE(WaitFor([&] { return connection.State().connects >= 4; }, 20s));
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("connection lost (the broker closed the connection: Protocol Error)"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("taken over"), std::string::npos) << log;
}

// A broker that speaks 3.1.1 only: "auto" asks again with 3.1.1 at once and
// keeps to it; "5" names the likely cause. Over 3.1.1 a retained message on
// a filter that takes none (a command left behind) is dropped.
TEST_F(BrokerConnectionTest, ABrokerOfMqtt311IsSpokenToInItsVersion) {
    test::Mqtt311Front front(broker_->Port());
    Client peer(broker_->Port(), "");
    peer.Publish("cmd/left", "old", true);
    Recorder user;
    BrokerConnection connection(test::LocalBroker({front.Port()}, "conn-311"), "conn-311",
                                Words("311"), user);
    connection.SetSubscriptions({{"cmd/#", false}});
    std::string error;
    ASSERT_TRUE(connection.Start(&error)) << error;
    std::string why;
    ASSERT_TRUE(connection.WaitConnected(Clock::now() + 10s, nullptr, &why)) << why;
    EXPECT_EQ(front.TurnedAway(), 1);
    EXPECT_EQ(connection.State().protocol, "3.1.1");
    EXPECT_EQ(user.Version(), MqttVersion::k311);
    ASSERT_TRUE(WaitFor([&] { return user.subscribed > 0; }));
    peer.Publish("cmd/new", "now");
    ASSERT_TRUE(WaitFor([&] { return !user.Messages().empty(); }));
    EXPECT_EQ(user.Messages()[0].topic, "cmd/new")
        << user.Messages()[0].payload << " retained " << user.Messages()[0].retained;
    peer.Publish("cmd/left", "", true);

    BrokerSpec five = test::LocalBroker({front.Port()}, "conn-311-five");
    five.protocol = MqttProtocol::kV5;
    Recorder refused;
    BrokerConnection only5(five, "conn-311-five", Words("311 five"), refused);
    ASSERT_TRUE(only5.Start(&error)) << error;
    EXPECT_FALSE(only5.WaitConnected(Clock::now() + 3s, nullptr, &why));
    EXPECT_EQ(why,
              "the broker closed the connection before answering; it may not speak MQTT 5 "
              "(protocol = \"3.1.1\")");
    EXPECT_EQ(only5.State().protocol, "5");
}

// Run in a mount namespace of its own whose resolv.conf names a name server
// that never answers (the test below): the first broker's name is never
// looked up, and the second is still reached within the connect time-out.
TEST(BrokerLookup, AHangingNameLookupIsBoundedByTheConnectTimeOut) {
    const char *port = std::getenv("QOR_BROKER_TEST_PORT");
    if (port == nullptr) {
        GTEST_SKIP() << "run by the case below, under a name server that never answers";
    }
    BrokerSpec spec = test::LocalBroker({1, std::atoi(port)}, "conn-lookup");
    spec.hosts[0].host = "broker.hangs.test";
    spec.connect_timeout_s = 1;
    Recorder user;
    testing::internal::CaptureStderr();
    BrokerConnection connection(spec, "conn-lookup", Words("lookup"), user);
    std::string error;
    ASSERT_TRUE(connection.Start(&error)) << error;
    std::string why;
    bool connected = connection.WaitConnected(Clock::now() + 20s, nullptr, &why);
    connection.Stop(0ms);
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(connected) << why << log;
    EXPECT_NE(log.find("broker broker.hangs.test:1: cannot connect (name lookup: no answer from "
                       "the name lookup in time); trying 127.0.0.1:" +
                       std::string(port) + " next"),
              std::string::npos)
        << log;
}

TEST_F(BrokerConnectionTest, ANameServerThatNeverAnswersHoldsNoConnection) {
    int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(0x7f00004d);  // 127.0.0.77
    if (bind(dns, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(dns);
        GTEST_SKIP() << "cannot serve DNS on 127.0.0.77:53 (not root?)";
    }
    std::string resolv = folder_->Path() + "/resolv.conf";
    std::string nsswitch = folder_->Path() + "/nsswitch.conf";
    std::ofstream(resolv) << "nameserver 127.0.0.77\noptions timeout:30 attempts:5\n";
    std::ofstream(nsswitch) << "hosts: dns\n";
    test::Finished run = test::RunProgram(
        {"/usr/bin/unshare", "--mount", "sh", "-c",
         "mount --bind \"$1\" /etc/resolv.conf && mount --bind \"$2\" /etc/nsswitch.conf && "
         "shift 2 && exec \"$@\"",
         "sh", resolv, nsswitch, std::filesystem::read_symlink("/proc/self/exe").string(),
         "--gtest_filter=BrokerLookup.AHangingNameLookupIsBoundedByTheConnectTimeOut"},
        {60000, 0, {"QOR_BROKER_TEST_PORT=" + std::to_string(broker_->Port())}});
    close(dns);
    if (run.exit_code != 0 && run.err.find("mount") != std::string::npos &&
        run.out.find("[ RUN") == std::string::npos) {
        GTEST_SKIP() << "cannot bind-mount in a mount namespace: " << run.err;
    }
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
}

// A broker whose certificate names localhost: reached as localhost it is
// taken, reached as 127.0.0.1 (which the certificate does not carry) it is
// refused, though the chain is good.
TEST_F(BrokerConnectionTest, TheCertificateMustCarryTheConfiguredName) {
    const std::string &d = folder_->Path();
    std::ofstream(d + "/san.ext") << "subjectAltName=DNS:localhost\n";
    ASSERT_TRUE(
        test::OpenSsl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                       "/CN=qor test ca", "-keyout", d + "/ca.key", "-out", d + "/ca.crt"}));
    ASSERT_TRUE(test::OpenSsl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                               "-keyout", d + "/server.key", "-out", d + "/server.csr"}));
    ASSERT_TRUE(test::OpenSsl({"x509", "-req", "-in", d + "/server.csr", "-CA", d + "/ca.crt",
                               "-CAkey", d + "/ca.key", "-CAcreateserial", "-days", "2", "-extfile",
                               d + "/san.ext", "-out", d + "/server.crt"}));
    for (const char *file : {"/ca.crt", "/server.crt", "/server.key"}) {
        std::filesystem::permissions(d + file, std::filesystem::perms(0644));
    }
    int tls_port = test::FreePort();
    Mosquitto tls(d, "listener " + std::to_string(tls_port) + " 127.0.0.1\ncafile " + d +
                         "/ca.crt\ncertfile " + d + "/server.crt\nkeyfile " + d + "/server.key\n");
    struct Case {
        const char *host;
        bool connects;
    };
    for (const Case &c : {Case{"localhost", true}, Case{"127.0.0.1", false}}) {
        BrokerSpec spec = test::LocalBroker({tls_port}, std::string("conn-tls-") + c.host);
        spec.hosts[0].host = c.host;
        spec.tls_ca_file = d + "/ca.crt";
        Recorder user;
        BrokerConnection connection(spec, spec.client_id, Words("tls"), user);
        std::string error;
        ASSERT_TRUE(connection.Start(&error)) << error;
        std::string why;
        EXPECT_EQ(connection.WaitConnected(Clock::now() + 4s, nullptr, &why), c.connects)
            << c.host << ": " << why;
        if (!c.connects) {
            EXPECT_NE(why.find("certificate verify failed"), std::string::npos) << why;
        }
    }
}

}  // namespace
}  // namespace qor::gateway
