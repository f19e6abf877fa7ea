// Through a real serial device server: ser2net on 127.0.0.1 in front of the
// simulator's pseudo-terminal (or one this test holds), reached raw
// (socket://) and with the com port option (rfc2217://). The families of
// commands run through both in library_e2e_test.cpp; here what only a
// device server shows: the line settings arriving at the device, every
// byte value both ways, the server's refusals, and a restart of the server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qor_comm.h"
#include "qor_dll.h"
#include "sim/sim_process.h"
#include "tests/e2e/ser2net_process.h"

namespace {

using qor::test::Accepter;
using qor::test::NowMs;
using qor::test::Ser2net;
using qor::test::SimProcess;

const int kM = '1';

std::string PortError(int port) {
    char text[512];
    QOR_PortError(port, text, sizeof text);
    return text;
}

// The terminal settings of a device, as its driver keeps them.
struct termios DeviceSettings(const std::string &device) {
    struct termios tio {};
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0) << device;
    EXPECT_EQ(0, tcgetattr(fd, &tio));
    close(fd);
    return tio;
}

// The settings a client asks for are what the server puts on the device
// (a pseudo-terminal keeps the rate, the stop bits and odd parity's
// PARODD; it reports 8 data bits and no parity enable whatever it is told,
// so those are seen in the server's answers, which the library checks). A
// raw connection leaves the device as the server's configuration says.
TEST(DeviceServer, LineSettingsArriveAtTheDevice) {
    // A simulator for each accepter: ser2net opens a device for one
    // connection at a time.
    SimProcess sim({"--pty", "--steady"});
    SimProcess raw_sim({"--pty", "--steady"});
    ASSERT_FALSE(sim.Where().empty() || raw_sim.Where().empty());
    Ser2net server({{Accepter::kRfc2217, sim.Where()}, {Accepter::kRaw, raw_sim.Where()}});
    ASSERT_TRUE(server.Running()) << server.Log();
    struct Case {
        std::string target;
        std::string device;
        speed_t speed;
        bool two_stop_bits;
        bool odd;
    };
    const Case cases[] = {
        {server.Target(0, "?baud=19200&bytesize=7&parity=O&stopbits=2"), sim.Where(), B19200, true,
         true},
        {server.Target(0, "?baud=115200&parity=E"), sim.Where(), B115200, false, false},
        {server.Target(0), sim.Where(), B9600, false, false},
        {server.Target(1), raw_sim.Where(), B9600, false, false},
    };
    const int port = 61;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        ASSERT_EQ(1, QOR_OpenPort(port, c.target.c_str())) << PortError(port);
        int status = -7;
        int error = -7;
        EXPECT_FLOAT_EQ(QOR_RD(port, kM, &status, &error), 72.1f);
        EXPECT_EQ(status, 0);
        struct termios tio = DeviceSettings(c.device);
        EXPECT_EQ(c.speed, cfgetospeed(&tio));
        EXPECT_EQ(c.two_stop_bits, (tio.c_cflag & CSTOPB) != 0);
        EXPECT_EQ(c.odd, (tio.c_cflag & PARODD) != 0);
        QOR_ClosePort(port);
    }
}

// A reading whose frame and reply both carry 0xFF, Telnet's IAC: noise
// before the frame, and before the reply.
TEST(DeviceServer, ReadingWithIacBothWaysPassesUnchanged) {
    SimProcess sim({"--pty", "--steady", "--garbage=\\xFF\\xFF#\\xFF"});
    ASSERT_FALSE(sim.Where().empty());
    Ser2net server({{Accepter::kRfc2217, sim.Where()}});
    ASSERT_TRUE(server.Running()) << server.Log();
    const int port = 62;
    ASSERT_EQ(1, QOR_OpenPort(port, server.Target(0, "?timeout_ms=500").c_str()));
    static std::vector<std::string> traced;
    traced.clear();
    QOR_SetTrace(
        [](const QOR_TraceEvent *event, void *) {
            if (event->kind == QOR_TRACE_WRITE || event->kind == QOR_TRACE_READ) {
                traced.emplace_back(reinterpret_cast<const char *>(event->bytes),
                                    static_cast<std::size_t>(event->count));
            }
        },
        nullptr);
    ASSERT_EQ(1, QOR_WriteByte(port, 0xFF));  // begins the frame
    int status = -7;
    int error = -7;
    float value = QOR_RD(port, kM, &status, &error);
    QOR_SetTrace(nullptr, nullptr);
    EXPECT_FLOAT_EQ(value, 72.1f);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(traced, (std::vector<std::string>{"\xFF$1RD\r", "\xFF\xFF#\xFF*+00072.10\r"}));
    QOR_ClosePort(port);
}

// A pseudo-terminal this test holds, as the module's end of the line.
class Line {
  public:
    Line() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 &&
            ptsname_r(master_, name, sizeof name) == 0) {
            struct termios tio {};
            tcgetattr(master_, &tio);
            cfmakeraw(&tio);
            tcsetattr(master_, TCSANOW, &tio);
            device_ = name;
        }
    }
    ~Line() { close(master_); }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    const std::string &Device() const { return device_; }
    // Exactly `count` bytes, unless 2 s pass.
    std::string Read(std::size_t count) const {
        std::string bytes;
        for (long long end = NowMs() + 2000; bytes.size() < count && NowMs() < end;) {
            pollfd entry{master_, POLLIN, 0};
            char buffer[512];
            ssize_t got = poll(&entry, 1, 100) == 1 ? read(master_, buffer, sizeof buffer) : 0;
            bytes.append(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
        }
        return bytes;
    }
    bool Write(const std::string &bytes) const {
        return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

  private:
    int master_ = -1;
    std::string device_;
};

TEST(DeviceServer, EveryByteValueCrossesBothWays) {
    Line line;
    ASSERT_FALSE(line.Device().empty());
    Ser2net server({{Accepter::kRfc2217, line.Device()}});
    ASSERT_TRUE(server.Running()) << server.Log();
    const int port = 63;
    ASSERT_EQ(1, QOR_OpenPort(port, server.Target(0, "?timeout_ms=1000").c_str()));
    std::string all;
    for (int value = 0; value < 256; ++value) {
        all += static_cast<char>(value);
        ASSERT_EQ(1, QOR_WriteByte(port, value));
    }
    EXPECT_EQ(-1, QOR_ReadByte(port));  // sends the rest of the frame
    EXPECT_EQ(all, line.Read(all.size()));
    ASSERT_TRUE(line.Write(all));
    for (int value = 0; value < 256; ++value) {
        ASSERT_EQ(value, QOR_ReadByte(port)) << "at index " << value;
    }
    QOR_ClosePort(port);
}

// rfc2217:// where the server does not speak the com port option fails
// the open, saying so: a telnet accepter refuses it, a raw one says nothing.
TEST(DeviceServer, WithoutTheComPortOptionTheOpenFailsWithTheReason) {
    Line line;
    Line raw_line;
    Ser2net server({{Accepter::kTelnet, line.Device()}, {Accepter::kRaw, raw_line.Device()}});
    ASSERT_TRUE(server.Running()) << server.Log();
    const std::string raw = "rfc2217://" + server.Target(1).substr(sizeof "socket://" - 1);
    struct Case {
        std::string target;
        std::string text;
    };
    const Case cases[] = {
        {server.Target(0), "the server refused the com port option (RFC 2217)"},
        {raw + "?connect_timeout_ms=300",
         "no answer to the com port option (RFC 2217) within 300 ms; a raw TCP port takes "
         "socket://"},
    };
    const int port = 64;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        long long start = NowMs();
        EXPECT_EQ(0, QOR_OpenPort(port, c.target.c_str()));
        EXPECT_LT(NowMs() - start, 2000);
        EXPECT_NE(PortError(port).find(c.text), std::string::npos) << PortError(port);
        QOR_ClosePort(port);
    }
}

// RD until it is answered: a link that has just connected through ser2net
// (which opens its line then) may miss a time-out or a few. Bounded only
// so that a link that never comes back fails the test.
float ReadOnceAnswered(int port, int *status, int *error) {
    float value = 0;
    *status = -7;
    for (long long end = NowMs() + 20000; *status != 0 && NowMs() < end;) {
        value = QOR_RD(port, kM, status, error);
    }
    return value;
}

// The server goes away and comes back: readings fail meanwhile, quickly,
// and the link reconnects by itself (renegotiating the line for
// rfc2217://).
TEST(DeviceServer, RestartIsSurvivedThroughReconnection) {
    for (Accepter accepter : {Accepter::kRaw, Accepter::kRfc2217}) {
        SimProcess sim({"--pty", "--steady"});
        ASSERT_FALSE(sim.Where().empty());
        Ser2net server({{accepter, sim.Where()}});
        ASSERT_TRUE(server.Running()) << server.Log();
        const std::string target = server.Target(0, "?timeout_ms=100&connect_timeout_ms=500");
        SCOPED_TRACE(target);
        const int port = 65;
        ASSERT_EQ(1, QOR_OpenPort(port, target.c_str()));
        int status = -7;
        int error = -7;
        // ser2net opens the line when the link connects: the first reading
        // is waited for, as a busy machine may not give it within 100 ms.
        EXPECT_FLOAT_EQ(ReadOnceAnswered(port, &status, &error), 72.1f) << PortError(port);
        server.Stop();
        long long start = NowMs();
        QOR_RD(port, kM, &status, &error);
        EXPECT_NE(status, 0);
        QOR_RD(port, kM, &status, &error);
        EXPECT_NE(status, 0);
        EXPECT_LT(NowMs() - start, 3000) << "a vanished server must fail fast";
        ASSERT_TRUE(server.Start()) << server.Log();
        float value = ReadOnceAnswered(port, &status, &error);
        EXPECT_EQ(status, 0) << "never reconnected: " << PortError(port);
        EXPECT_FLOAT_EQ(value, 72.1f);
        QOR_ClosePort(port);
    }
}

}  // namespace
