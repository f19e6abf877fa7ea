// The Modbus server as an output over a real plant state and command
// intake, on a real TCP socket, spoken to in raw frames: reads from the
// plant state in step, who the allow list lets in, writes as commands in
// the configured word order, a stop that answers a waiting write, and a
// reload that keeps its connections or changes nothing.
#include "gateway/modbus/modbus_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/core/poller.h"
#include "tests/gateway/core/listening_output.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

constexpr int kLibraryPort = 61;

// Every command answered, as the outputs hear of it.
class Commands : public ListeningOutput {
  public:
    const char *Name() const override { return "commands"; }
    void OnResult(const Command &command, const CommandResult &) override {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(command);
    }
    std::vector<Command> Seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

  private:
    std::mutex mutex_;
    std::vector<Command> seen_;
};

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

Bytes Request(std::uint16_t transaction, const Bytes &pdu, unsigned char unit = 1) {
    Bytes out = {static_cast<unsigned char>(transaction >> 8),
                 static_cast<unsigned char>(transaction & 0xFF),
                 0,
                 0,
                 0,
                 static_cast<unsigned char>(pdu.size() + 1),
                 unit};
    for (unsigned char b : pdu) {
        out.push_back(b);
    }
    return out;
}

class GatewayModbusServer : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = FreePort();
        outputs_.Add(&commands_);
    }
    void TearDown() override {
        for (int fd : clients_) {
            close(fd);
        }
        intake_.Close("the test is over");
        server_->Stop(std::chrono::steady_clock::now() + 5s);
    }

    // The configuration with these [modbus] keys, prepared and committed.
    Config Apply(const std::string &keys, bool *applied = nullptr, std::string *why = nullptr) {
        std::string text =
            "[broker]\nhost = \"127.0.0.1\"\n[[link]]\nname = \"bus\"\n"
            "target = \"socket://127.0.0.1:1\"\n[[link.module]]\naddress = \"1\"\n"
            "name = \"boiler\"\npoll = { rd = 1000 }\nwritable = [\"hi\"]\n"
            "[modbus]\nlisten = \"127.0.0.1:" +
            std::to_string(port_) + "\"\n" + keys;
        ConfigResult r = ParseConfig(text, "plant.toml", "/etc/qor");
        EXPECT_TRUE(r.config) << r.error;
        std::string reason;
        bool ok = server_->Prepare(*r.config, nullptr, &reason);
        if (applied == nullptr) {
            EXPECT_TRUE(ok) << reason;
        } else {
            *applied = ok;
            *why = reason;
        }
        if (ok) {
            config_ = *r.config;
            plant_.Layout(config_);
            server_->Commit();
        } else {
            server_->Rollback();
        }
        return config_;
    }
    // Boiler online, its rd read as 72.5 just now.
    void Polled() {
        plant_.NoteAvailability({0, 0}, Availability::kOnline);
        Reading r;
        r.value = 72.5;
        plant_.NoteReading({0, 0, 0}, r, 0.01);
    }
    // A client connected from `from`, any address of 127.0.0.0/8.
    int Connect(const char *from = "127.0.0.1") {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << from;
        a.sin_port = htons(static_cast<std::uint16_t>(port_));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        clients_.push_back(fd);
        return fd;
    }
    // The next whole answer; empty when the server closed the connection.
    static Bytes Answer(int fd) {
        Bytes header(7);
        if (!Exactly(fd, &header)) {
            return {};
        }
        Bytes rest(static_cast<std::size_t>(header[5]) - 1);
        if (!Exactly(fd, &rest)) {
            return {};
        }
        header.insert(header.end(), rest.begin(), rest.end());
        return header;
    }
    static bool Exactly(int fd, Bytes *into) {
        for (std::size_t have = 0; have < into->size();) {
            ssize_t n = recv(fd, into->data() + have, into->size() - have, 0);
            if (n <= 0) {
                return false;
            }
            have += static_cast<std::size_t>(n);
        }
        return true;
    }
    static void Send(int fd, const Bytes &bytes) {
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    static Bytes Ask(int fd, const Bytes &request) {
        Send(fd, request);
        return Answer(fd);
    }

    PlantState plant_;
    Outputs outputs_{plant_};
    CommandIntake intake_{outputs_};
    Commands commands_;
    std::unique_ptr<ModbusServer> server_ =
        std::make_unique<ModbusServer>(OutputServices{plant_, intake_, outputs_});
    Config config_;
    int port_ = 0;
    std::vector<int> clients_;
};

// Input registers 0 (availability) to 5 (rd, a float).
const Bytes kStatusAndRd = {0x04, 0, 0, 0, 6};

// What an answer to kStatusAndRd says: availability, status, error and rd
// (the age, register 3, depends on the machine's pace).
Bytes StatusAndRd(const Bytes &answer) {
    if (answer.size() != 7 + 2 + 12) {
        return answer;
    }
    Bytes out(answer.begin() + 7, answer.begin() + 15);
    out.insert(out.end(), answer.end() - 4, answer.end());
    return out;
}
const Bytes kOnline725 = {0x04, 12, 0, 1, 0, 0, 0, 0, 0x42, 0x91, 0, 0};

TEST_F(GatewayModbusServer, ServesThePlantStateInStepWithPipelinedRequests) {
    Apply("");
    Polled();
    int fd = Connect();
    // Three requests in one segment: each answered, in order, under its own
    // transaction.
    Bytes three = Request(1, {0x08, 0, 0, 0x12, 0x34});
    for (const Bytes &next : {Request(2, kStatusAndRd), Request(3, kStatusAndRd, 9)}) {
        three.insert(three.end(), next.begin(), next.end());
    }
    Send(fd, three);
    EXPECT_EQ(Answer(fd), (Bytes{0, 1, 0, 0, 0, 3, 1, 0x88, 0x01}));
    Bytes read = Answer(fd);
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(Bytes(read.begin(), read.begin() + 2), (Bytes{0, 2}));
    EXPECT_EQ(StatusAndRd(read), kOnline725);
    EXPECT_EQ(Answer(fd), (Bytes{0, 3, 0, 0, 0, 3, 9, 0x84, 0x0A}));  // no unit 9
    // Device identification for the gateway's own unit.
    Bytes id = Ask(fd, Request(4, {0x2B, 0x0E, 0x04, 0x01}, 255));
    EXPECT_EQ(std::string(id.begin() + 16, id.end()), "qor-gateway");
}

TEST_F(GatewayModbusServer, TheAllowListLetsInItsNetworksToTheLastAddress) {
    struct Case {
        const char *allow;
        const char *from;
        bool admitted;
    };
    const Case cases[] = {
        {"127.0.1.0/24", "127.0.1.0", true},      {"127.0.1.0/24", "127.0.1.255", true},
        {"127.0.1.0/24", "127.0.0.255", false},   {"127.0.1.0/24", "127.0.2.0", false},
        {"127.1.0.0/16", "127.1.0.0", true},      {"127.1.0.0/16", "127.1.255.255", true},
        {"127.1.0.0/16", "127.0.255.255", false}, {"127.1.0.0/16", "127.2.0.0", false},
        {"127.0.0.7", "127.0.0.7", true},         {"127.0.0.7", "127.0.0.6", false},
        {"127.0.0.7", "127.0.0.8", false},
    };
    Polled();
    for (const Case &c : cases) {
        Apply(std::string("allow = [\"") + c.allow + "\"]\n");
        Polled();
        Bytes answer = Ask(Connect(c.from), Request(5, kStatusAndRd));
        EXPECT_EQ(!answer.empty(), c.admitted) << c.allow << " " << c.from;
    }
}

TEST_F(GatewayModbusServer, WritesBecomeCommandsInTheConfiguredWordOrder) {
    Config config = Apply("writes = true\nword_order = \"CDAB\"\n");
    LinkPoller poller(config.links[0], 0, kLibraryPort, PollerSettings{}, outputs_);
    poller.Start();
    intake_.Open(&config_, {&poller});
    int fd = Connect();
    // hi = 90.5: 42B5 0000, low word first. The link is down: no answer.
    Bytes write = {0x10, 0, 0, 0, 2, 4, 0x00, 0x00, 0x42, 0xB5};
    EXPECT_EQ(Ask(fd, Request(6, write)), (Bytes{0, 6, 0, 0, 0, 3, 1, 0x90, 0x0B}));
    std::vector<Command> seen = commands_.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].name, "hi");
    EXPECT_EQ(seen[0].args.value, 90.5);
    EXPECT_EQ(seen[0].origin, Origin::kModbus);
    // Refused before it reaches a link: the intake closed, then writes off.
    intake_.Close("the gateway is reloading");
    EXPECT_EQ(Ask(fd, Request(7, write)), (Bytes{0, 7, 0, 0, 0, 3, 1, 0x90, 0x06}));
    Apply("writes = false\n");
    EXPECT_EQ(Ask(fd, Request(8, write)), (Bytes{0, 8, 0, 0, 0, 3, 1, 0x90, 0x02}));
    poller.Stop();
}

TEST_F(GatewayModbusServer, AStopAnswersAWriteStillWaitingBusy) {
    Config config = Apply("writes = true\n");
    // A poller that never runs: the write waits on its link.
    LinkPoller idle(config.links[0], 0, kLibraryPort, PollerSettings{}, outputs_);
    intake_.Open(&config_, {&idle});
    int fd = Connect();
    Send(fd, Request(9, {0x10, 0, 0, 0, 2, 4, 0x42, 0xB5, 0, 0}));
    auto until = std::chrono::steady_clock::now() + 10s;
    while (plant_.Snapshot().commands_accepted == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(plant_.Snapshot().commands_accepted, 1u);
    server_->Stop(std::chrono::steady_clock::now() + 5s);
    EXPECT_EQ(Answer(fd), (Bytes{0, 9, 0, 0, 0, 3, 1, 0x90, 0x06}));
    EXPECT_EQ(Answer(fd), Bytes{});  // and then the connection ends
}

TEST_F(GatewayModbusServer, AReloadKeepsConnectionsAndARefusedOneChangesNothing) {
    Apply("");
    Polled();
    int fd = Connect();
    EXPECT_EQ(StatusAndRd(Ask(fd, Request(10, kStatusAndRd))), kOnline725);
    // The same address, another word order: the connection goes on under it.
    Apply("word_order = \"CDAB\"\n");
    const Bytes cdab = {0x04, 12, 0, 1, 0, 0, 0, 0, 0, 0, 0x42, 0x91};
    EXPECT_EQ(StatusAndRd(Ask(fd, Request(11, kStatusAndRd))), cdab);
    // A port another socket holds: refused with its line, nothing changed.
    int second = Connect();
    int other = socket(AF_INET, SOCK_STREAM, 0);
    clients_.push_back(other);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int held = FreePort();
    a.sin_port = htons(static_cast<std::uint16_t>(held));
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(other, 1), 0);
    int kept_port = port_;
    port_ = held;
    bool applied = true;
    std::string why;
    Apply("", &applied, &why);
    port_ = kept_port;
    EXPECT_FALSE(applied);
    EXPECT_EQ(why, "11: [modbus] cannot listen on 127.0.0.1:" + std::to_string(held) +
                       ": Address already in use");
    EXPECT_EQ(StatusAndRd(Ask(fd, Request(12, kStatusAndRd))), cdab);
    EXPECT_EQ(StatusAndRd(Ask(second, Request(13, kStatusAndRd))), cdab);
}

}  // namespace
}  // namespace qor::gateway
