// Failures that say why: every way an open can fail, tried for real (real
// ptys, a refused port, a blackhole listener, an unknown host), must leave
// its reason in QOR_PortError and the system's code in errno.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "qor_comm.h"
#include "tests/comm/link_support.h"

namespace {

using namespace qor::test;

constexpr int kPort = 31;

std::string PortError(int port) {
    char text[1024];
    int length = QOR_PortError(port, text, sizeof text);
    EXPECT_EQ(length, static_cast<int>(std::string(text).size()));
    return text;
}

struct Attempt {
    int opened;
    int code;
    std::string text;
};

Attempt Open(int port, const std::string &target) {
    errno = 0;
    Attempt attempt;
    attempt.opened = QOR_OpenPort(port, target.c_str());
    attempt.code = errno;
    attempt.text = PortError(port);
    return attempt;
}

// A case of the table: the target, the code, and the text expected.
struct FailureCase {
    std::string target;
    int code;
    std::string text;
};

void ExpectFailures(const std::vector<FailureCase> &cases) {
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.target);
        Attempt attempt = Open(kPort, c.target);
        EXPECT_EQ(0, attempt.opened);
        EXPECT_EQ(c.code, attempt.code) << strerror(attempt.code);
        EXPECT_NE(std::string::npos, attempt.text.find(c.text)) << attempt.text;
        QOR_ClosePort(kPort);
    }
}

TEST(CommFailures, EveryFailedOpenSaysWhy) {
    char file[] = "/tmp/qor_comm_fileXXXXXX";
    close(mkstemp(file));
    const std::string refused = TcpListener().Target();  // closed again at once
    const std::string refused_port = refused.substr(refused.rfind(':') + 1);
    ExpectFailures({
        {"/nonexistent/ttyQOR", ENOENT, "cannot open /nonexistent/ttyQOR: no such device"},
        {"/dev/null", ENOTTY, "cannot open /dev/null: not a serial device"},
        {"/", EISDIR, "cannot open /: not a serial device"},
        {file, ENOTTY, "not a serial device"},
        {"localhost:4001", ENOENT,
         "cannot open localhost:4001: no such device; did you mean socket://localhost:4001?"},
        {refused, ECONNREFUSED, "cannot connect to " + refused + ": connection refused"},
        {"socket://nonexistent.invalid:4001", EHOSTUNREACH,
         "cannot connect to socket://nonexistent.invalid:4001: host "},
        {"/dev/ttyS0?bad=1", EINVAL,
         "bad target \"/dev/ttyS0?bad=1\": unknown option \"bad\" (a serial device takes baud, "
         "bytesize, parity, stopbits, timeout_ms, reply_timeout_ms, recovery_ms, guard_ms, "
         "rs485, "},
        {"/dev/ttyS0?timeout=50", EINVAL, "unknown option \"timeout\""},
        {"/dev/ttyS0?timeout_ms=0", EINVAL, "timeout_ms=0 is out of range 1..60000"},
        {"/dev/ttyS0?baud=12", EINVAL, "baud=12 is not a standard rate"},
        {"/dev/ttyS0?baud=12345", EINVAL, "baud=12345 is not a standard rate"},
        {"socket://127.0.0.1:" + refused_port + "?baud=9600", EINVAL,
         "option \"baud\" does not apply to socket://"},
        {"tcp://127.0.0.1:5000", EINVAL, "unknown scheme"},
    });
    unlink(file);
}

// A pseudo-terminal has neither an RS-485 mode nor a low-latency flag, as
// a plain UART's driver may not: asked for, they fail the open rather than
// being left out.
TEST(CommFailures, DriverFeaturesTheDeviceLacksFailTheOpen) {
    Pty pty;
    const std::string name = "cannot open " + pty.Slave() + ": ";
    ExpectFailures({
        {pty.Slave() + "?rs485=1", ENOTTY, name + "the driver has no RS-485 mode (rs485=1)"},
        {pty.Slave() + "?rs485=1&rs485_delay_before_ms=5", ENOTTY, "no RS-485 mode"},
        {pty.Slave() + "?low_latency=1", ENOTTY,
         name + "the driver takes no low-latency flag (low_latency=1)"},
    });
    // Left out, they change nothing: the same device opens.
    EXPECT_EQ(1, QOR_OpenPort(kPort, (pty.Slave() + "?rs485=0&low_latency=0").c_str()));
    QOR_ClosePort(kPort);
}

// Runs `attempt` as an unprivileged user when this test runs as root, for
// whom permissions and exclusive opens do not apply; returns its text.
std::string Unprivileged(const std::function<std::string()> &attempt) {
    if (geteuid() != 0) {
        return attempt();
    }
    int out[2];
    if (pipe(out) != 0) {
        return "no pipe";
    }
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        std::string text = setgid(65534) == 0 && setuid(65534) == 0 ? attempt() : "no setuid";
        ssize_t written = write(out[1], text.data(), text.size());
        _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string text = ReadBytes(out[0], 4096);
    close(out[0]);
    waitpid(child, nullptr, 0);
    return text;
}

std::string OpenAndDescribe(const std::string &target) {
    Attempt attempt = Open(kPort + 1, target);
    return std::to_string(attempt.opened) + " " + strerror(attempt.code) + ": " + attempt.text;
}

TEST(CommFailures, PermissionDeniedAndBusySayWhy) {
    Pty pty;
    chmod(pty.Slave().c_str(), 0600);
    EXPECT_EQ("0 " + std::string(strerror(EACCES)) + ": cannot open " + pty.Slave() +
                  ": permission denied",
              Unprivileged([&] { return OpenAndDescribe(pty.Slave()); }));
    // Held exclusively by a port of this process: the kernel refuses the
    // unprivileged child's open, and the holder is found by its lock.
    ASSERT_EQ(1, QOR_OpenPort(kPort, pty.Slave().c_str()));
    chmod(pty.Slave().c_str(), 0666);
    std::string name;
    std::getline(std::ifstream("/proc/self/comm"), name);
    EXPECT_EQ("0 " + std::string(strerror(EBUSY)) + ": port busy: " + pty.Slave() + " is held by " +
                  name + " (PID " + std::to_string(getpid()) + ")",
              Unprivileged([&] { return OpenAndDescribe(pty.Slave()); }));
    QOR_ClosePort(kPort);
}

TEST(CommFailures, ConnectToABlackholeTimesOutAtItsOwnTimeout) {
    Blackhole blackhole;
    const std::string target = "socket://127.0.0.1:" + std::to_string(blackhole.Port());
    long long start = NowMs();
    Attempt attempt = Open(kPort, target + "?connect_timeout_ms=300");
    long long took = NowMs() - start;
    EXPECT_EQ(0, attempt.opened);
    EXPECT_EQ(ETIMEDOUT, attempt.code);
    EXPECT_EQ("cannot connect to " + target + ": connect timed out after 300 ms", attempt.text);
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 3000);
    QOR_ClosePort(kPort);
}

TEST(CommFailures, FailuresOfFirstUseAndOfAFullTableSayWhy) {
    EXPECT_EQ(0, QOR_WriteByte(0, '$'));
    EXPECT_EQ(
        "port 0 has no target: QOR_COMM_PORT0 is not set, and ports below 1 have no default device",
        PortError(0));
    setenv("QOR_COMM_PORT33", "/dev/ttyS0?baud=fast", 1);
    EXPECT_EQ(-1, QOR_ReadByte(33));
    unsetenv("QOR_COMM_PORT33");
    EXPECT_EQ(
        "bad target \"/dev/ttyS0?baud=fast\" in QOR_COMM_PORT33: baud=fast is not a positive "
        "integer",
        PortError(33));
    for (int port = 5000; port < 5064; ++port) {
        QOR_OpenPort(port, "/nonexistent/ttyQOR");
    }
    Attempt attempt = Open(9999, "/nonexistent/ttyQOR");
    EXPECT_EQ(EMFILE, attempt.code);
    EXPECT_EQ("port 9999: no free port: 64 port numbers are in use (QOR_ClosePort frees one)",
              attempt.text);
    for (int port = 5000; port < 5064; ++port) {
        QOR_ClosePort(port);
    }
}

TEST(CommFailures, TextIsKeptUntilThePortOpensAndIsCutToTheBuffer) {
    Pty pty;
    EXPECT_EQ(0, QOR_OpenPort(34, "/nonexistent/ttyQOR"));
    const std::string whole = "cannot open /nonexistent/ttyQOR: no such device";
    char small[8] = "xxxxxxx";
    EXPECT_EQ(static_cast<int>(whole.size()), QOR_PortError(34, small, sizeof small));
    EXPECT_STREQ("cannot ", small);
    EXPECT_EQ(static_cast<int>(whole.size()), QOR_PortError(34, nullptr, 0));
    EXPECT_EQ(0, QOR_PortError(35, small, sizeof small));
    EXPECT_STREQ("", small);
    ASSERT_EQ(1, QOR_OpenPort(34, pty.Slave().c_str()));
    EXPECT_EQ(0, QOR_PortError(34, small, sizeof small));
    QOR_ClosePort(34);
}

TEST(CommFailures, LinkLostInUseSaysWhy) {
    TcpListener listener;
    ASSERT_EQ(1, QOR_OpenPort(kPort, listener.Target("?timeout_ms=2000").c_str()));
    int server = listener.Accept();
    ASSERT_GE(server, 0);
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    EXPECT_EQ("$1RD\r", ReadLine(server));
    close(server);
    EXPECT_EQ(-1, QOR_ReadByte(kPort));
    EXPECT_EQ("link to " + listener.Target() + " lost while reading: closed by the other end",
              PortError(kPort));
    QOR_ClosePort(kPort);
}

// A far end that takes nothing: the pty's buffer fills, then a write waits
// one time-out and fails.
TEST(CommFailures, StuckWriteSaysWhy) {
    Pty pty;
    ASSERT_EQ(1, QOR_OpenPort(kPort, (pty.Slave() + "?timeout_ms=50").c_str()));
    bool written = true;
    for (int frame = 0; frame < 2000 && written; ++frame) {
        written = SendFrame(kPort, std::string(255, 'A') + "\r");
    }
    ASSERT_FALSE(written);
    EXPECT_EQ("link to " + pty.Slave() + " lost while writing: write timed out: the link took " +
                  "nothing for 50 ms",
              PortError(kPort));
    QOR_ClosePort(kPort);
}

}  // namespace
