// qor_comm.dll's Windows transports through its four exports: TCP against a
// Winsock server in this test program, and serial devices that are missing
// or are not serial devices. (A serial port that works is exercised by
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
    std::string variable = "QOR_COMM_PORT" + std::to_string(kPort);
    ASSERT_EQ(_putenv_s(variable.c_str(), server_.Target(500).c_str()), 0);
    bool written = WriteFrame(kPort, "$1RD\r");
    _putenv_s(variable.c_str(), "");
    ASSERT_TRUE(written);
    ASSERT_TRUE(server_.Accept());
    EXPECT_EQ(server_.ReceiveFrame(), "$1RD\r");
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

}  // namespace
