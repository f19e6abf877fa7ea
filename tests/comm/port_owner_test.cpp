// One port, one owner: a serial device opened by one process is refused to
// a second at once, with the holder named, unless both share it
// (exclusive=0). Real ptys and real second processes: a child of this test
// holding the device through the library, and flock(1), which takes the
// same lock as pyserial and picocom.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qor_comm.h"
#include "tests/comm/link_support.h"

namespace {

using namespace qor::test;

constexpr int kPort = 41;

std::string PortError(int port) {
    char text[1024];
    QOR_PortError(port, text, sizeof text);
    return text;
}

// A process holding a target through the library, named "qor-holder" so
// that the refusal can be seen to name it, until it is stopped.
class Holder {
  public:
    explicit Holder(const std::string &target) {
        int ready[2];
        int hold[2];
        if (pipe(ready) != 0 || pipe(hold) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_NAME, "qor-holder");
            close(ready[0]);
            close(hold[1]);
            char opened = QOR_OpenPort(kPort + 1, target.c_str()) == 1 ? '1' : '0';
            ssize_t written = write(ready[1], &opened, 1);
            char ignored = 0;
            ssize_t held = read(hold[0], &ignored, 1);  // until the test closes it
            _exit(written == 1 && held >= 0 ? 0 : 1);
        }
        close(ready[1]);
        close(hold[0]);
        hold_ = hold[1];
        opened_ = ReadBytes(ready[0], 1) == "1";
        close(ready[0]);
    }
    ~Holder() { Kill(); }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;

    bool Opened() const { return opened_; }
    pid_t Pid() const { return pid_; }
    // SIGKILL: nothing of the holder's own runs to release the device.
    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            close(hold_);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    int hold_ = -1;
    bool opened_ = false;
};

struct ShareCase {
    const char *holder_settings;
    const char *second_settings;
    bool second_opens;
};

// exclusive=0 shares with those who share, and with nobody who holds alone.
constexpr ShareCase kShareCases[] = {
    {"", "", false},
    {"?exclusive=1", "?exclusive=0", false},
    {"?exclusive=0", "", false},
    {"?exclusive=0", "?exclusive=0", true},
};

TEST(PortOwner, ASecondProcessIsRefusedUnlessBothShare) {
    for (const ShareCase &c : kShareCases) {
        SCOPED_TRACE(std::string("holder ") + c.holder_settings + ", second " + c.second_settings);
        Pty pty;
        Holder holder(pty.Slave() + c.holder_settings);
        ASSERT_TRUE(holder.Opened());
        errno = 0;
        int opened = QOR_OpenPort(kPort, (pty.Slave() + c.second_settings).c_str());
        int code = errno;
        EXPECT_EQ(c.second_opens ? 1 : 0, opened);
        if (!c.second_opens) {
            EXPECT_EQ(EBUSY, code);
            EXPECT_EQ("port busy: " + pty.Slave() + " is held by qor-holder (PID " +
                          std::to_string(holder.Pid()) + ")",
                      PortError(kPort));
        }
        QOR_ClosePort(kPort);
    }
}

TEST(PortOwner, AHolderThatDiesLeavesNoLockBehind) {
    Pty pty;
    Holder holder(pty.Slave());
    ASSERT_TRUE(holder.Opened());
    EXPECT_EQ(0, QOR_OpenPort(kPort, pty.Slave().c_str()));
    holder.Kill();
    EXPECT_EQ(1, QOR_OpenPort(kPort, pty.Slave().c_str())) << PortError(kPort);
    QOR_ClosePort(kPort);
}

// Another program's lock is honoured: flock(1) locks as pyserial and
// picocom do, and says "locked" once it holds the lock.
TEST(PortOwner, AnotherProgramsLockIsHonouredAndItsHolderNamed) {
    Pty pty;
    int out[2];
    ASSERT_EQ(0, pipe(out));
    pid_t flock_pid = fork();
    if (flock_pid == 0) {
        setpgid(0, 0);
        dup2(out[1], 1);
        execlp("flock", "flock", "--exclusive", "--close", pty.Slave().c_str(), "sh", "-c",
               "echo locked; exec sleep 60", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    ASSERT_EQ("locked\n", ReadBytes(out[0], 7)) << "flock(1) is part of util-linux";
    EXPECT_EQ(0, QOR_OpenPort(kPort, pty.Slave().c_str()));
    EXPECT_EQ(
        "port busy: " + pty.Slave() + " is held by flock (PID " + std::to_string(flock_pid) + ")",
        PortError(kPort));
    killpg(flock_pid, SIGKILL);
    waitpid(flock_pid, nullptr, 0);
    close(out[0]);
    QOR_ClosePort(kPort);
}

}  // namespace
