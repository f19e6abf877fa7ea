// The HTTP server as the gateway runs it: an Output over a plant state, a
// command intake and the list of outputs, on a real socket on 127.0.0.1,
// asked by raw requests from any loopback address.
#include "gateway/http/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "gateway/core/config.h"
#include "tests/gateway/core/listening_output.h"
#include "tests/gateway/http/http_support.h"

namespace qor::gateway {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// An output whose health a test sets, and which hears of results.
class FakeOutput : public ListeningOutput {
  public:
    explicit FakeOutput(const char *name) : name_(name) {}
    const char *Name() const override { return name_; }
    void OnResult(const Command &command, const CommandResult &) override {
        heard.push_back(command);
    }
    OutputHealth Health() const override { return health; }

    OutputHealth health;
    std::vector<Command> heard;

  private:
    const char *name_;
};

class HttpServerTest : public testing::Test {
  protected:
    HttpServerTest() {
        outputs_.Add(&modbus_);
        outputs_.Add(&sparkplug_);
    }
    // Starts the server with these lines in [http].
    void Start(const std::string &http, HttpLimits limits = {}) {
        port_ = test::FreePort();
        std::string users = test::WriteFile("anna:" + std::string(test::kSecretHash) + "\n");
        std::string text = std::string(test::kPlant) +
                           "[http]\nlisten = \"127.0.0.1:" + std::to_string(port_) + "\"\n" + http +
                           "\n";
        auto pos = text.find("USERS");
        if (pos != std::string::npos) {
            text.replace(pos, 5, users);
        }
        ConfigResult r = ParseConfig(text, "g.toml", "/tmp");
        ASSERT_TRUE(r.config) << r.error;
        config_ = *r.config;
        plant_.Layout(config_);
        server_ = std::make_unique<HttpServer>(OutputServices{plant_, intake_, outputs_}, limits);
        std::string why;
        ASSERT_EQ(server_->Check(config_), "");
        ASSERT_TRUE(server_->Prepare(config_, nullptr, &why)) << why;
        server_->Commit();
    }
    test::Answer Get(const std::string &path, const std::string &headers = "",
                     const char *from = "127.0.0.1") const {
        return test::Fetch(
            port_, "GET " + path + " HTTP/1.1\r\nConnection: close\r\n" + headers + "\r\n", from);
    }

    PlantState plant_;
    Outputs outputs_{plant_};
    CommandIntake intake_{outputs_};
    FakeOutput modbus_{"modbus"};
    FakeOutput sparkplug_{"sparkplug"};
    std::unique_ptr<HttpServer> server_;
    Config config_;
    int port_ = 0;
};

OutputHealth Health(bool enabled, bool ready, const char *problem) {
    OutputHealth h;
    h.enabled = enabled;
    h.ready = ready;
    h.problem = problem;
    return h;
}

const char kAnna[] = "Authorization: Basic YW5uYTpzZWNyZXQ=\r\n";  // anna:secret

TEST_F(HttpServerTest, RoutesAnswerWithoutALoginOnlyForItsOwnHostNames) {
    Start("hosts = [\"gw.plant.local\", \"[fd00::7]\"]");
    struct Case {
        const char *path;
        const char *headers;
        int status;
    } cases[] = {
        {"/healthz", "", 200},
        {"/api/state", "Host: 127.0.0.1:8080\r\n", 200},
        {"/metrics", "Host: 127.0.0.1\r\n", 200},
        {"/", "Host: localhost:1\r\n", 200},
        {"/", "Host: GW.plant.local.\r\n", 200},
        {"/", "Host: [fd00::7]:443\r\n", 200},
        {"/", "", 200},  // no Host: HTTP/1.0 tools, never a browser
        {"/api/state", "Host: rebound.example:8080\r\n", 421},
        {"/api/state", "Host: 127.0.0.2\r\n", 421},
        {"/api/state", "Host: [::1]\r\n", 421},
        {"/api/state", "Host: 127.0.0.1:x\r\n", 421},
        {"/api/state", "Host: plant.local\r\n", 421},
        {"/healthz", "Host: rebound.example\r\n", 200},
        {"/nothing", "Host: 127.0.0.1\r\n", 404},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Get(c.path, c.headers).status, c.status) << c.path << " " << c.headers;
    }
}

TEST_F(HttpServerTest, ALoginIsNeededBeyondTheHealthChecksWhateverTheHost) {
    Start("users_file = \"USERS\"");
    struct Case {
        const char *path;
        const char *headers;
        int status;
    } cases[] = {
        {"/healthz", "", 200},
        {"/api/state", "", 401},
        {"/api/state", "Authorization: Basic YW5uYTp3cm9uZw==\r\n", 401},  // anna:wrong
        {"/api/state", "Authorization: Basic Ym9iOnNlY3JldA==\r\n", 401},  // bob:secret
        {"/api/state", kAnna, 200},
        {"/metrics", "Host: rebound.example\r\nAuthorization: Basic YW5uYTpzZWNyZXQ=\r\n", 200},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Get(c.path, c.headers).status, c.status) << c.path << " " << c.headers;
    }
}

TEST_F(HttpServerTest, PageCommandsReachTheIntakeOnlyWhenSwitchedOn) {
    for (const char *commands : {"false", "true"}) {
        Start(std::string("users_file = \"USERS\"\ncommands = ") + commands);
        std::string body = R"({"link": "bus", "module": "boiler", "command": "hi",)"
                           R"( "payload": {"value": 1}})";
        test::Answer a = test::Fetch(
            port_, "POST /api/command HTTP/1.1\r\nConnection: close\r\n" + std::string(kAnna) +
                       "Content-Type: application/json\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body);
        bool on = std::string(commands) == "true";
        // On: the intake, not yet open, refuses it and tells every output.
        EXPECT_EQ(a.status, on ? 422 : 403) << a.body;
        ASSERT_EQ(modbus_.heard.size(), on ? 1u : 0u) << commands;
        if (on) {
            EXPECT_EQ(modbus_.heard[0].origin, Origin::kPage);
            EXPECT_EQ(modbus_.heard[0].who, "anna");
        }
        server_->Stop(Clock::now());
    }
}

TEST_F(HttpServerTest, ReadyOnlyWhenEveryEnabledOutputIsAndALinkIsUp) {
    Start("");
    plant_.NoteLinkUp(0);
    modbus_.health = Health(true, false, "modbus listener down");
    sparkplug_.health = Health(false, false, "never asked: off");
    test::Answer a = Get("/readyz");
    EXPECT_EQ(a.status, 503);
    EXPECT_NE(a.body.find("modbus listener down"), std::string::npos) << a.body;
    EXPECT_EQ(a.body.find("never asked"), std::string::npos) << a.body;
    modbus_.health.ready = true;
    sparkplug_.health = Health(true, false, "sparkplug node cannot publish");
    EXPECT_EQ(Get("/readyz").status, 503);
    sparkplug_.health.ready = true;
    EXPECT_EQ(Get("/readyz").status, 200);
}

// Clients that never finish a request (its line, its headers, its body,
// bytes trickling in) are cut at the deadline, not before; one address
// holds at most 8 connections, others get in; a stop waits for none.
TEST_F(HttpServerTest, SlowClientsAreCutAtTheDeadlineAndCannotCrowdOthersOut) {
    Start("", {milliseconds(4000), milliseconds(200)});
    const char *starts[] = {"GET / HTTP/1.1\r\nHost: 127", "GET /api/st",
                            "POST /api/command HTTP/1.1\r\nContent-Length: 900\r\n\r\n{"};
    std::vector<std::unique_ptr<test::Held>> held;
    auto opened = Clock::now();
    for (int i = 0; i < 9; ++i) {
        held.push_back(std::make_unique<test::Held>(port_, starts[i % 3], "127.0.0.2"));
    }
    EXPECT_TRUE(held[8]->ClosedWithin(milliseconds(2000))) << "a ninth connection of one address";
    EXPECT_EQ(Get("/healthz", "", "127.0.0.3").status, 200);
    while (Clock::now() - opened < milliseconds(3500)) {
        for (int i = 0; i < 8; ++i) {
            held[i]->Send("a");
            EXPECT_FALSE(held[i]->ClosedWithin(milliseconds(40))) << i;
        }
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(held[i]->ClosedWithin(milliseconds(6000))) << starts[i % 3];
    }
    // A request under way (its headers taken: "100 Continue") at a stop
    // has the grace, not its deadline.
    test::Held late(port_,
                    "POST /api/command HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 9\r\n"
                    "Expect: 100-continue\r\n\r\n",
                    "127.0.0.4");
    ASSERT_NE(late.Read(milliseconds(5000)).find(" 100 "), std::string::npos);
    auto stopping = Clock::now();
    server_->Stop(Clock::now() + std::chrono::seconds(30));
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(3));  // the grace, not the deadline
    EXPECT_TRUE(late.ClosedWithin(milliseconds(1000)));
}

// The deadline is per request: a kept-alive connection that asks again in
// time is answered however long it has been open.
TEST_F(HttpServerTest, AKeptAliveConnectionHasADeadlinePerRequest) {
    Start("", {milliseconds(1500), milliseconds(200)});
    test::Held client(port_, "", "127.0.0.1");
    for (int i = 0; i < 4; ++i) {
        client.Send("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        EXPECT_NE(client.Read(milliseconds(5000)).find("200 OK"), std::string::npos) << i;
        std::this_thread::sleep_for(milliseconds(600));
    }
}

}  // namespace
}  // namespace qor::gateway
