// How ports come to be opened (explicitly, from the environment, by
// default), how they are forgotten, and calls from several threads.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qor_comm.h"
#include "tests/comm/link_support.h"

namespace {

using namespace qor::test;

// Sets QOR_COMM_PORT<n> for one test.
class ScopedVariable {
  public:
    ScopedVariable(int port, const std::string &value)
        : name_("QOR_COMM_PORT" + std::to_string(port)) {
        setenv(name_.c_str(), value.c_str(), 1);
    }
    ~ScopedVariable() { unsetenv(name_.c_str()); }

  private:
    std::string name_;
};

TEST(CommPorts, BadTargetsAreRefused) {
    char file[] = "/tmp/qor_comm_fileXXXXXX";
    close(mkstemp(file));
    const std::string refused = TcpListener().Target();  // closed again at once
    const std::string targets[] = {"",
                                   "socket://127.0.0.1",
                                   "socket://::1:5000",
                                   "/dev/ttyS0?baud=12345",
                                   "/dev/ttyS0?stopbits=3",
                                   "tcp://127.0.0.1:5000",
                                   "/nonexistent/ttyQOR",
                                   "/dev/null" /* not a terminal */,
                                   "/",
                                   file,
                                   refused,
                                   refused + "?timeout_ms=0"};
    for (const std::string &target : targets) {
        EXPECT_EQ(0, QOR_OpenPort(21, target.c_str())) << target;
        QOR_ClosePort(21);
    }
    EXPECT_EQ(0, QOR_OpenPort(21, nullptr));
    unlink(file);
}

TEST(CommPorts, BadTargetLeavesAnOpenPortAsItWas) {
    Pty pty;
    ASSERT_EQ(1, QOR_OpenPort(22, pty.Slave().c_str()));
    EXPECT_EQ(0, QOR_OpenPort(22, "/dev/ttyS0?baud=fast"));
    ASSERT_TRUE(SendFrame(22, "$1RD\r"));
    EXPECT_EQ("$1RD\r", ReadLine(pty.Master()));
    QOR_ClosePort(22);
}

TEST(CommPorts, VariableOpensAPortOnFirstUse) {
    TcpListener listener;
    ScopedVariable variable(41, listener.Target("?timeout_ms=50"));
    EXPECT_EQ(-1, QOR_ReadByte(41));
    int server = listener.Accept();
    ASSERT_GE(server, 0);
    ASSERT_TRUE(SendFrame(41, "$2RD\r"));
    EXPECT_EQ("$2RD\r", ReadLine(server));
    WriteAll(server, "*+00010.00\r");
    EXPECT_EQ("*+00010.00\r", ReceiveReply(41));
    QOR_ClosePort(41);
    close(server);
}

// Port numbers from 1 up default to /dev/ttyS<n-1>; below 1 only a variable
// opens them. The variable is read when the port is used, not before.
TEST(CommPorts, VariableIsReadAtFirstUseAndServesAnyPortNumber) {
    EXPECT_EQ(0, QOR_WriteByte(1042, '$'));  // /dev/ttyS1041: there is none
    EXPECT_EQ(0, QOR_WriteByte(0, '$'));
    EXPECT_EQ(-1, QOR_ReadByte(-7));
    Pty pty;
    for (int port : {1042, 0, -7}) {
        ScopedVariable variable(port, pty.Slave());
        ASSERT_TRUE(SendFrame(port, "$1RD\r")) << port;
        EXPECT_EQ("$1RD\r", ReadLine(pty.Master()));
        QOR_ClosePort(port);
    }
}

TEST(CommPorts, BadVariableFailsInsteadOfFallingBackToTheDefault) {
    ScopedVariable variable(1, "socket://nowhere");
    EXPECT_EQ(0, QOR_WriteByte(1, '$'));
    EXPECT_EQ(-1, QOR_ReadByte(1));
}

std::string PortError(int port) {
    char text[512];
    QOR_PortError(port, text, sizeof text);
    return text;
}

// After QOR_ClosePort calls fail, rather than open the variable's target or
// the default device, until QOR_OpenPort; also for a port never opened.
TEST(CommPorts, ClosingIsFinalUntilTheNextOpen) {
    Pty pty;
    TcpListener listener;
    ASSERT_EQ(1, QOR_OpenPort(44, pty.Slave().c_str()));
    QOR_ClosePort(44);
    ScopedVariable variable(44, listener.Target());
    ScopedVariable never_opened(43, listener.Target());
    QOR_ClosePort(43);
    for (int port : {44, 43}) {
        EXPECT_EQ(0, QOR_WriteByte(port, '$')) << port;
        EXPECT_EQ(-1, QOR_ReadByte(port)) << port;
        EXPECT_EQ("port " + std::to_string(port) +
                      " was closed (QOR_ClosePort); QOR_OpenPort opens it again",
                  PortError(port));
    }
    EXPECT_LT(listener.Accept(100), 0) << "a closed port opened its default target";
    EXPECT_TRUE(NothingMore(pty.Master()));
    ASSERT_EQ(1, QOR_OpenPort(44, pty.Slave().c_str()));
    ASSERT_TRUE(SendFrame(44, "$1RD\r"));
    EXPECT_EQ("$1RD\r", ReadLine(pty.Master()));
    EXPECT_EQ("", PortError(44));
    QOR_ClosePort(44);
}

// Closed numbers are kept while their slots are given back: the last 1024
// of them, the oldest forgotten first.
TEST(CommPorts, ClosedNumbersAreKeptUpToALimit) {
    for (int port = 20000; port <= 21024; ++port) {
        QOR_ClosePort(port);
    }
    char text[QOR_TARGET_TEXT_SIZE];
    EXPECT_EQ(QOR_TARGET_DEVICE, QOR_PortTarget(20000, text, sizeof text));
    for (int port : {20001, 20500, 21024}) {
        EXPECT_EQ(QOR_TARGET_NONE, QOR_PortTarget(port, text, sizeof text)) << port;
        EXPECT_STREQ("", text);
    }
    // Used while closed, a number stays closed when its slot is given back.
    EXPECT_EQ(-1, QOR_ReadByte(20001));
    EXPECT_EQ(QOR_TARGET_NONE, QOR_PortTarget(20001, text, sizeof text));
}

TEST(CommPorts, FullTableIsReportedAndClosingMakesRoom) {
    // A port keeps its slot while it keeps a target, even one not opening.
    for (int port = 5000; port < 5200; ++port) {
        QOR_OpenPort(port, "/nonexistent/ttyQOR");
    }
    Pty pty;
    EXPECT_EQ(0, QOR_OpenPort(9999, pty.Slave().c_str()));
    EXPECT_EQ(0, QOR_WriteByte(9999, '$'));
    // A port closed while the table is full stays closed all the same.
    ScopedVariable variable(9998, pty.Slave());
    QOR_ClosePort(9998);
    QOR_ClosePort(5000);
    QOR_ClosePort(5001);
    EXPECT_EQ(1, QOR_OpenPort(9999, pty.Slave().c_str()));
    EXPECT_EQ(0, QOR_WriteByte(9998, '$'));
    EXPECT_NE(std::string::npos, PortError(9998).find("was closed"));
    for (int port = 5000; port < 5200; ++port) {
        QOR_ClosePort(port);
    }
    QOR_ClosePort(9999);
}

std::string TargetOf(int port, int *source) {
    char text[QOR_TARGET_TEXT_SIZE];
    *source = QOR_PortTarget(port, text, sizeof text);
    return text;
}

// Where each port's target comes from, as a CLI shows it before use: the
// open, the variable, the default device, or nothing.
TEST(CommPorts, TargetAndItsSourceAreReportedWithoutOpening) {
    Pty pty;
    const std::string opened = pty.Slave() + "?timeout_ms=50";
    ASSERT_EQ(1, QOR_OpenPort(45, opened.c_str()));
    ScopedVariable variable(47, "socket://device-server:4001");
    ScopedVariable malformed(48, "/dev/ttyS0?baud=fast");
    ScopedVariable below_one(-3, "socket://h:1");
    struct Case {
        int port;
        int source;
        std::string text;
    };
    for (const Case &c :
         {Case{45, QOR_TARGET_OPENED, opened}, Case{46, QOR_TARGET_DEVICE, "/dev/ttyS45"},
          Case{47, QOR_TARGET_ENVIRONMENT, "socket://device-server:4001"},
          Case{48, QOR_TARGET_ENVIRONMENT, "/dev/ttyS0?baud=fast"},
          Case{-3, QOR_TARGET_ENVIRONMENT, "socket://h:1"}, Case{0, QOR_TARGET_NONE, ""}}) {
        int source = -7;
        EXPECT_EQ(c.text, TargetOf(c.port, &source)) << c.port;
        EXPECT_EQ(c.source, source) << c.port;
    }
    char small[4] = "xxx";
    EXPECT_EQ(QOR_TARGET_DEVICE, QOR_PortTarget(46, small, sizeof small));
    EXPECT_STREQ("/de", small);
    // Closed, a port has no target until it is opened again.
    QOR_ClosePort(45);
    int source = -7;
    EXPECT_EQ("", TargetOf(45, &source));
    EXPECT_EQ(QOR_TARGET_NONE, source);
    EXPECT_EQ(QOR_TARGET_NONE, QOR_PortTarget(0, nullptr, 0));
}

// A port opened from its variable keeps that target while it is in use,
// whatever the variable says later.
TEST(CommPorts, TargetTakenFromTheVariableIsKeptWhileInUse) {
    Pty pty;
    {
        ScopedVariable variable(49, pty.Slave());
        ASSERT_TRUE(SendFrame(49, "$1RD\r"));
    }
    int source = -7;
    EXPECT_EQ(pty.Slave(), TargetOf(49, &source));
    EXPECT_EQ(QOR_TARGET_ENVIRONMENT, source);
    QOR_ClosePort(49);
}

// Port A waits for a reply the server sends only after port B completed a
// whole transaction. Were ports serialised, B would wait for A's read to
// time out and A would see -1.
TEST(CommPorts, CallsOnDifferentPortsRunSideBySide) {
    TcpListener listener_a;
    TcpListener listener_b;
    ASSERT_EQ(1, QOR_OpenPort(51, listener_a.Target("?timeout_ms=3000").c_str()));
    ASSERT_EQ(1, QOR_OpenPort(52, listener_b.Target("?timeout_ms=3000").c_str()));
    int server_a = listener_a.Accept();
    int server_b = listener_b.Accept();
    ASSERT_GE(server_a, 0);
    ASSERT_GE(server_b, 0);
    // Without its CR the frame is sent by the read itself: once the server
    // has it, client A is inside QOR_ReadByte, waiting.
    std::string reply_a;
    std::thread client_a([&] {
        SendFrame(51, "$1RD");
        reply_a = ReceiveReply(51);
    });
    EXPECT_EQ("$1RD", ReadBytes(server_a, 4));
    EXPECT_TRUE(SendFrame(52, "$2RD\r"));
    EXPECT_EQ("$2RD\r", ReadLine(server_b));
    WriteAll(server_b, "*B\r");
    EXPECT_EQ("*B\r", ReceiveReply(52));
    WriteAll(server_a, "*A\r");
    client_a.join();
    EXPECT_EQ("*A\r", reply_a);
    QOR_ClosePort(51);
    QOR_ClosePort(52);
    close(server_a);
    close(server_b);
}

// Opening, closing and using the same few ports from many threads at once
// must neither crash nor hang nor leave a port unusable. (Port numbers whose
// default devices, /dev/ttyS7069 and up, do not exist.)
TEST(CommPorts, RacingOpenCloseAndUseOnSharedPorts) {
    TcpListener listener;
    std::atomic<bool> stop{false};
    std::vector<int> accepted;
    std::thread acceptor([&] {
        while (!stop) {
            int fd = listener.Accept(10);
            if (fd >= 0) {
                accepted.push_back(fd);
            }
        }
    });
    const std::string target = listener.Target("?timeout_ms=1&recovery_ms=0");
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                int port = 7070 + (i + t) % 3;
                switch ((i * 7 + t) % 4) {
                    case 0:
                        QOR_OpenPort(port, target.c_str());
                        break;
                    case 1:
                        QOR_ClosePort(port);
                        break;
                    case 2:
                        QOR_WriteByte(port, 'x');
                        break;
                    default:
                        QOR_ReadByte(port);
                }
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    ASSERT_EQ(1, QOR_OpenPort(7070, target.c_str()));
    EXPECT_TRUE(SendFrame(7070, "$1RD\r"));
    for (int port = 7070; port < 7073; ++port) {
        QOR_ClosePort(port);
    }
    stop = true;
    acceptor.join();
    for (int fd : accepted) {
        close(fd);
    }
}

// Calls racing QOR_ClosePort from other threads complete on the link they
// found or fail; none opens the port's default target (here a listener
// named by the variable, which must never see a connection).
TEST(CommPorts, RacingCloseNeverOpensTheDefaultTarget) {
    constexpr int kShared = 7080;
    TcpListener real;
    TcpListener decoy;
    ScopedVariable variable(kShared, decoy.Target());
    std::atomic<bool> stop{false};
    std::vector<int> accepted;
    std::thread acceptor([&] {
        while (!stop) {
            int fd = real.Accept(10);
            if (fd >= 0) {
                accepted.push_back(fd);
            }
        }
    });
    const std::string target = real.Target("?timeout_ms=1&recovery_ms=0");
    ASSERT_EQ(1, QOR_OpenPort(kShared, target.c_str()));
    std::atomic<int> succeeded{0};
    std::atomic<bool> calls_done{false};
    std::thread closer([&] {
        while (!calls_done) {
            QOR_ClosePort(kShared);
            std::this_thread::yield();
            QOR_OpenPort(kShared, target.c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        QOR_ClosePort(kShared);
    });
    // A call on the closed port fails at once: the callers go on until
    // enough frames went out between the closes, or 5 s passed.
    const long long until = NowMs() + 5000;
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&] {
            while (succeeded < 100 && NowMs() < until) {
                succeeded += SendFrame(kShared, "$1RD\r") ? 1 : 0;
                QOR_ReadByte(kShared);
            }
        });
    }
    for (std::thread &t : callers) {
        t.join();
    }
    calls_done = true;
    closer.join();
    stop = true;
    acceptor.join();
    EXPECT_LT(decoy.Accept(200), 0) << "a call opened the default target";
    EXPECT_GT(succeeded.load(), 0);
    EXPECT_EQ(0, QOR_WriteByte(kShared, '$'));
    EXPECT_NE(std::string::npos, PortError(kShared).find("was closed"));
    for (int fd : accepted) {
        close(fd);
    }
}

}  // namespace
