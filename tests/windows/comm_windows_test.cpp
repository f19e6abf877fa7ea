// qor_comm.dll's Windows transports through its exports: TCP against a
// Winsock server in this test program, serial devices that are missing or
// are not serial devices, the failure texts and codes, targets, the trace,
// recovery and the port list. (A serial port that works is exercised by
// tests/windows/qor_e2e.sh, which maps a COM port onto the simulator's
// pseudo-terminal under Wine.)
// Lean: windows.h then leaves out Winsock 1, which clashes with winsock2.h.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <gtest/gtest.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qor_comm.h"

namespace {

// A listening socket on 127.0.0.1 with a port the system chose. The
// library's connect completes against the listen queue, so the test can
// accept after the library has connected, all in one thread.
class Server {
  public:
    Server() {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
        listen(listener_, 4);
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Server() {
        Drop();
        closesocket(listener_);
        WSACleanup();
    }

    std::string Target(int timeout_ms) const {
        return "socket://127.0.0.1:" + std::to_string(port_) +
               "?timeout_ms=" + std::to_string(timeout_ms);
    }
    int port() const { return port_; }

    // Takes the next connection, waiting at most 2 s.
    bool Accept() {
        if (!Ready(listener_)) {
            return false;
        }
        Drop();
        client_ = accept(listener_, nullptr, nullptr);
        return client_ != INVALID_SOCKET;
    }
    void Drop() {
        if (client_ != INVALID_SOCKET) {
            closesocket(client_);
            client_ = INVALID_SOCKET;
        }
    }
    // What arrives up to and including a CR, waiting at most 2 s in all.
    std::string ReceiveFrame() {
        std::string frame;
        char c = 0;
        while (Ready(client_) && recv(client_, &c, 1, 0) == 1) {
            frame += c;
            if (c == '\r') {
                break;
            }
        }
        return frame;
    }
    // What arrives within 2 s, up to the first pause.
    std::string ReceiveSome() {
        char buffer[512];
        int got = Ready(client_) ? recv(client_, buffer, sizeof buffer, 0) : 0;
        return std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    void Send(const std::string &bytes) {
        send(client_, bytes.data(), static_cast<int>(bytes.size()), 0);
    }

  private:
    static bool Ready(SOCKET socket) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket, &set);
        timeval wait{2, 0};
        return select(0, &set, nullptr, nullptr, &wait) == 1;
    }

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET client_ = INVALID_SOCKET;
    int port_ = 0;
};

constexpr int kPort = 5;

bool WriteFrame(int port, const std::string &frame) {
    for (char c : frame) {
        if (QOR_WriteByte(port, static_cast<unsigned char>(c)) != 1) {
            return false;
        }
    }
    return true;
}

std::string ReadReply(int port) {
    std::string reply;
    for (int c = QOR_ReadByte(port); c >= 0; c = QOR_ReadByte(port)) {
        reply += static_cast<char>(c);
        if (c == '\r') {
            break;
        }
    }
    return reply;
}

ULONGLONG Now() {
    return GetTickCount64();
}

class WindowsTcp : public ::testing::Test {
  protected:
    void TearDown() override { QOR_ClosePort(kPort); }
    Server server_;
};

TEST_F(WindowsTcp, FrameGoesOutWholeAndTheReplyComesBack) {
    ASSERT_EQ(QOR_OpenPort(kPort, server_.Target(500).c_str()), 1);
    ASSERT_TRUE(server_.Accept());
    ASSERT_TRUE(WriteFrame(kPort, "$1RD\r"));
    EXPECT_EQ(server_.ReceiveFrame(), "$1RD\r");
    server_.Send("*+00072.10\r");
    EXPECT_EQ(ReadReply(kPort), "*+00072.10\r");
}

TEST_F(WindowsTcp, InputBeforeANewFrameIsNotTakenForItsReply) {
    ASSERT_EQ(QOR_OpenPort(kPort, server_.Target(500).c_str()), 1);
    ASSERT_TRUE(server_.Accept());
    // A late reply to an earlier frame, already waiting when the frame goes.
    server_.Send("*+00001.00\r");
    Sleep(100);
    ASSERT_TRUE(WriteFrame(kPort, "$1RD\r"));
    EXPECT_EQ(server_.ReceiveFrame(), "$1RD\r");
    server_.Send("*+00072.10\r");
    EXPECT_EQ(ReadReply(kPort), "*+00072.10\r");
}

TEST_F(WindowsTcp, ASilentServerCostsOneTimeOutPerRead) {
    ASSERT_EQ(QOR_OpenPort(kPort, server_.Target(100).c_str()), 1);
    ASSERT_TRUE(server_.Accept());
    ASSERT_TRUE(WriteFrame(kPort, "$1RD\r"));
    ULONGLONG start = Now();
    EXPECT_EQ(QOR_ReadByte(kPort), -1);
    ULONGLONG waited = Now() - start;
    // The tick count moves in steps of up to about 16 ms.
    EXPECT_GE(waited, 80u);
    EXPECT_LT(waited, 2000u);
}

TEST_F(WindowsTcp, AConnectionTheServerClosedIsReopenedByTheNextFrame) {
    ASSERT_EQ(QOR_OpenPort(kPort, server_.Target(500).c_str()), 1);
    ASSERT_TRUE(server_.Accept());
    server_.Drop();
    Sleep(100);
    ASSERT_TRUE(WriteFrame(kPort, "$1RD\r"));
    ASSERT_TRUE(server_.Accept());
    EXPECT_EQ(server_.ReceiveFrame(), "$1RD\r");
    server_.Send("*+00072.10\r");
    EXPECT_EQ(ReadReply(kPort), "*+00072.10\r");
}

TEST_F(WindowsTcp, TheEnvironmentNamesTheTargetOfAPortNobodyOpened) {
    // A port no test has used: one closed by another test stays closed.
    constexpr int kNeverOpened = 57;
    std::string variable = "QOR_COMM_PORT" + std::to_string(kNeverOpened);
    ASSERT_EQ(_putenv_s(variable.c_str(), server_.Target(500).c_str()), 0);
    bool written = WriteFrame(kNeverOpened, "$1RD\r");
    _putenv_s(variable.c_str(), "");
    ASSERT_TRUE(written);
    ASSERT_TRUE(server_.Accept());
    EXPECT_EQ(server_.ReceiveFrame(), "$1RD\r");
    QOR_ClosePort(kNeverOpened);
}

TEST(WindowsTcpRefused, FailsAtOnceAndKeepsFailing) {
    int port = 0;
    {
        Server gone;
        port = gone.port();
    }
    std::string target = "socket://127.0.0.1:" + std::to_string(port);
    ULONGLONG start = Now();
    EXPECT_EQ(QOR_OpenPort(kPort, target.c_str()), 0);
    // The remembered target is tried again, and fails again.
    EXPECT_EQ(QOR_WriteByte(kPort, '$'), 0);
    EXPECT_EQ(QOR_ReadByte(kPort), -1);
    EXPECT_LT(Now() - start, 5000u);
    QOR_ClosePort(kPort);
}

// Serial targets that cannot work fail cleanly, without waiting.
TEST(WindowsSerial, MissingOrWrongDevicesFailAtOnce) {
    const char *const targets[] = {
        "COM250",         // no such port
        "\\\\.\\COM251",  // the same, spelled out
        "NUL",            // a device, but not a serial one
    };
    for (const char *target : targets) {
        SCOPED_TRACE(target);
        ULONGLONG start = Now();
        EXPECT_EQ(QOR_OpenPort(kPort, target), 0);
        EXPECT_EQ(QOR_WriteByte(kPort, '$'), 0);
        EXPECT_EQ(QOR_ReadByte(kPort), -1);
        EXPECT_LT(Now() - start, 2000u);
        QOR_ClosePort(kPort);
    }
}

std::string PortError(int port) {
    char text[512];
    QOR_PortError(port, text, sizeof text);
    return text;
}

// The reasons and the thread's last error, for what can fail on Windows.
TEST(WindowsFailures, EveryFailedOpenSaysWhy) {
    int refused_port = 0;
    {
        Server gone;
        refused_port = gone.port();
    }
    const std::string refused = "socket://127.0.0.1:" + std::to_string(refused_port);
    struct Case {
        std::string target;
        DWORD code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"COM250", ERROR_FILE_NOT_FOUND, "cannot open COM250: no such device"},
        {"NUL", 0, "cannot open NUL: not a serial device"},
        {refused, WSAECONNREFUSED, "cannot connect to " + refused + ": connection refused"},
        {"socket://nonexistent.invalid:4001", WSAHOST_NOT_FOUND,
         "cannot connect to socket://nonexistent.invalid:4001: host "},
        {"COM3?timeout_ms=0", ERROR_INVALID_PARAMETER,
         "bad target \"COM3?timeout_ms=0\": timeout_ms=0 is out of range 1..60000"},
        {"localhost:4001", 0, "did you mean socket://localhost:4001?"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        SetLastError(0);
        EXPECT_EQ(QOR_OpenPort(kPort, c.target.c_str()), 0);
        DWORD code = GetLastError();
        if (c.code != 0) {
            EXPECT_EQ(code, c.code);
        } else {
            EXPECT_NE(code, 0u);
        }
        EXPECT_NE(PortError(kPort).find(c.text), std::string::npos) << PortError(kPort);
        QOR_ClosePort(kPort);
    }
}

TEST(WindowsTargets, DefaultIsTheComPortOfTheSameNumber) {
    char text[QOR_TARGET_TEXT_SIZE];
    EXPECT_EQ(QOR_PortTarget(12, text, sizeof text), QOR_TARGET_DEVICE);
    EXPECT_STREQ(text, "COM12");
    EXPECT_EQ(QOR_PortTarget(0, text, sizeof text), QOR_TARGET_NONE);
}

std::vector<std::string> g_events;

void Record(const QOR_TraceEvent *event, void *) {
    std::string line = std::to_string(event->kind);
    if (event->bytes != nullptr) {
        line += " " + std::string(reinterpret_cast<const char *>(event->bytes),
                                  static_cast<std::size_t>(event->count));
    }
    g_events.push_back(line);
}

// A reply later than the time-out, inside the recovery period, is discarded
// before the next frame; the trace shows it all.
TEST_F(WindowsTcp, LateReplyIsDiscardedDuringRecoveryAndTraced) {
    ASSERT_EQ(QOR_OpenPort(kPort, (server_.Target(100) + "&recovery_ms=300").c_str()), 1);
    ASSERT_TRUE(server_.Accept());
    g_events.clear();
    QOR_SetTrace(Record, nullptr);
    ASSERT_TRUE(WriteFrame(kPort, "$1RD\r"));
    EXPECT_EQ(server_.ReceiveFrame(), "$1RD\r");
    EXPECT_EQ(ReadReply(kPort), "");
    server_.Send("*LATE\r");
    ASSERT_TRUE(WriteFrame(kPort, "$1RD\r"));
    EXPECT_EQ(server_.ReceiveFrame(), "$1RD\r");
    server_.Send("*+00072.10\r");
    EXPECT_EQ(ReadReply(kPort), "*+00072.10\r");
    QOR_SetTrace(nullptr, nullptr);
    // 12: the late input raised the quiet period for the next frames.
    EXPECT_EQ(g_events, (std::vector<std::string>{"5 $1RD\r", "7", "8 *LATE\r", "12", "9",
                                                  "5 $1RD\r", "6 *+00072.10\r"}));
}

// A listener whose queue is full leaves further connects unanswered.
TEST(WindowsTcpBlackhole, ConnectTimesOutAtItsOwnTimeout) {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(listener, 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    const std::string target = "socket://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    ASSERT_EQ(QOR_OpenPort(kPort + 1, target.c_str()), 1);  // takes the queue's place
    ULONGLONG start = Now();
    SetLastError(0);
    EXPECT_EQ(QOR_OpenPort(kPort, (target + "?connect_timeout_ms=300").c_str()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAETIMEDOUT));
    EXPECT_LT(Now() - start, 3000u);
    EXPECT_EQ(PortError(kPort), "cannot connect to " + target + ": connect timed out after 300 ms");
    QOR_ClosePort(kPort);
    QOR_ClosePort(kPort + 1);
    closesocket(listener);
    WSACleanup();
}

// rfc2217:// shares everything but the socket calls with POSIX systems;
// here the same negotiation and the same IAC doubling, through Winsock.
const std::string kIac = "\xFF";
const std::string kComPortEnd = kIac + "\xF0";

// The server's side of an open: agrees to the com port option (or
// refuses it) and confirms every request with the value asked for.
void PlayComPortServer(Server *server, bool refuse, std::string *heard) {
    if (!server->Accept()) {
        return;
    }
    server->Send(kIac + (refuse ? "\xFE" : "\xFD") + ",");
    std::string raw;
    std::size_t requests = 0;
    while (!refuse && requests < 5) {
        std::string more = server->ReceiveSome();
        if (more.empty()) {
            break;
        }
        raw += more;
        requests = 0;
        for (std::size_t at = raw.find(kIac + "\xFA,"); at != std::string::npos;
             at = raw.find(kIac + "\xFA,", at + 1)) {
            ++requests;
        }
    }
    for (std::size_t at = raw.find(kIac + "\xFA,"); at != std::string::npos && !refuse;
         at = raw.find(kIac + "\xFA,", at + 1)) {
        std::size_t end = raw.find(kComPortEnd, at);
        std::string answer = raw.substr(at, end + 2 - at);
        answer[3] = static_cast<char>(answer[3] + 100);
        server->Send(answer);
    }
    *heard = raw;
}

TEST_F(WindowsTcp, Rfc2217SetsTheLineAndDoublesIacBothWays) {
    std::string heard;
    std::thread server([&] { PlayComPortServer(&server_, false, &heard); });
    const std::string target = "rfc2217://127.0.0.1:" + std::to_string(server_.port()) +
                               "?baud=19200&bytesize=7&parity=E&stopbits=2&timeout_ms=500";
    int opened = QOR_OpenPort(kPort, target.c_str());
    server.join();
    ASSERT_EQ(opened, 1) << PortError(kPort);
    EXPECT_NE(heard.find(kIac + "\xFA,\x01" + std::string("\0\0\x4B\0", 4) + kComPortEnd),
              std::string::npos);
    EXPECT_NE(heard.find(kIac + "\xFA,\x03\x03" + kComPortEnd), std::string::npos);
    ASSERT_TRUE(WriteFrame(kPort, "\xFF$1RD\r"));
    EXPECT_EQ(server_.ReceiveFrame(), "\xFF\xFF$1RD\r");
    server_.Send("*\xFF\xFF" + kIac + "\xFD\x63\r");
    EXPECT_EQ(ReadReply(kPort), "*\xFF\r");
}

TEST_F(WindowsTcp, Rfc2217RefusedFailsWithItsReasonAndCode) {
    std::string heard;
    std::thread server([&] { PlayComPortServer(&server_, true, &heard); });
    const std::string target = "rfc2217://127.0.0.1:" + std::to_string(server_.port());
    SetLastError(0);
    int opened = QOR_OpenPort(kPort, target.c_str());
    DWORD code = GetLastError();
    server.join();
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(code, static_cast<DWORD>(WSAEPROTONOSUPPORT));
    EXPECT_EQ(PortError(kPort),
              "cannot connect to " + target +
                  ": the server refused the com port option (RFC 2217); a raw TCP port takes "
                  "socket://");
}

// What Windows has no call for is refused before the device is opened.
TEST(WindowsSerial, OptionsWindowsCannotHonourAreRefused) {
    const struct {
        const char *target;
        const char *text;
    } cases[] = {
        {"COM250?low_latency=1", "cannot open COM250: low_latency=1 is not available on Windows"},
        {"COM250?rs485=1&rs485_delay_after_ms=2",
         "cannot open COM250: RS-485 delays are not available on Windows"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.target);
        SetLastError(0);
        EXPECT_EQ(QOR_OpenPort(kPort, c.target), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_NE(PortError(kPort).find(c.text), std::string::npos) << PortError(kPort);
        QOR_ClosePort(kPort);
    }
}

TEST(WindowsPortList, ListsComPortsWithoutTrouble) {
    int count = QOR_ListPorts(nullptr, 0);
    ASSERT_GE(count, 0);
    std::vector<QOR_PortInfo> ports(static_cast<std::size_t>(count) + 1);
    EXPECT_EQ(QOR_ListPorts(ports.data(), count), count);
    for (int i = 0; i < count; ++i) {
        EXPECT_NE(ports[static_cast<std::size_t>(i)].device[0], '\0');
    }
}

}  // namespace
