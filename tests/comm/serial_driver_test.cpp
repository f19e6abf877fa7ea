// What the serial transport asks of a driver, seen from the driver's side.
// This program defines ioctl and tcsetattr itself and exports them, so the
// library's calls land here: tcsetattr is noted and passed on to a real
// pseudo-terminal; the RS-485 and low-latency requests, which a
// pseudo-terminal refuses (port_failure_test.cpp shows that), are answered
// by a driver played here, one that can do them or one that drops part.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "qor_comm.h"
#include "tests/comm/link_support.h"

namespace {

// How the driver played here behaves.
struct Driver {
    bool playing = false;
    bool rs485 = true;  // has an RS-485 mode
    bool keeps_rts_on_send = true;
    unsigned max_delay_ms = 100;  // longer RS-485 delays are cut to this
    bool keeps_low_latency = true;
};

Driver g_driver;
struct serial_rs485 g_rs485;
struct serial_struct g_serial;
struct termios g_termios;

template <typename Function>
Function Next(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int Refuse() {
    errno = ENOTTY;
    return -1;
}

// The four requests the driver answers; false for any other.
bool Play(unsigned long request, void *argument, int *result) {
    *result = 0;
    switch (request) {
        case TIOCGRS485:
            if (!g_driver.rs485) {
                *result = Refuse();
                return true;
            }
            std::memcpy(argument, &g_rs485, sizeof g_rs485);
            return true;
        case TIOCSRS485:
            if (!g_driver.rs485) {
                *result = Refuse();
                return true;
            }
            std::memcpy(&g_rs485, argument, sizeof g_rs485);
            if (!g_driver.keeps_rts_on_send) {
                g_rs485.flags &= ~static_cast<__u32>(SER_RS485_RTS_ON_SEND);
            }
            g_rs485.delay_rts_before_send =
                std::min<__u32>(g_rs485.delay_rts_before_send, g_driver.max_delay_ms);
            g_rs485.delay_rts_after_send =
                std::min<__u32>(g_rs485.delay_rts_after_send, g_driver.max_delay_ms);
            return true;
        case TIOCGSERIAL:
            std::memcpy(argument, &g_serial, sizeof g_serial);
            return true;
        case TIOCSSERIAL:
            std::memcpy(&g_serial, argument, sizeof g_serial);
            if (!g_driver.keeps_low_latency) {
                g_serial.flags &= ~ASYNC_LOW_LATENCY;
            }
            return true;
        default:
            return false;
    }
}

}  // namespace

#define QOR_TEST_EXPORT __attribute__((visibility("default")))

extern "C" {

QOR_TEST_EXPORT int ioctl(int fd, unsigned long request, ...) {
    static auto next = Next<int (*)(int, unsigned long, ...)>("ioctl");
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    int result = 0;
    if (g_driver.playing && Play(request, argument, &result)) {
        return result;
    }
    return next(fd, request, argument);
}

QOR_TEST_EXPORT int tcsetattr(int fd, int when, const struct termios *tio) {
    static auto next = Next<int (*)(int, int, const struct termios *)>("tcsetattr");
    g_termios = *tio;
    return next(fd, when, tio);
}

}  // extern "C"

namespace {

using qor::test::Pty;

constexpr int kPort = 9;

std::string PortError() {
    char text[512];
    QOR_PortError(kPort, text, sizeof text);
    return text;
}

class SerialDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        g_driver = Driver{};
        g_driver.playing = true;
        g_rs485 = {};
        // Set by the board, and none of the library's business.
        g_rs485.flags = SER_RS485_TERMINATE_BUS | SER_RS485_RTS_AFTER_SEND;
        g_serial = {};
    }
    void TearDown() override {
        QOR_ClosePort(kPort);
        g_driver.playing = false;
    }
    int Open(const std::string &settings) {
        return QOR_OpenPort(kPort, (pty_.Slave() + settings).c_str());
    }

    Pty pty_;
};

TEST_F(SerialDriver, FramingGoesToTheTerminal) {
    struct Case {
        const char *settings;
        tcflag_t size;
        tcflag_t parity;  // PARENB and PARODD
        bool input_check;
        bool two_stop_bits;
    };
    for (const Case &c : {Case{"", CS8, 0, false, false},
                          Case{"?bytesize=7&parity=E&stopbits=2", CS7, PARENB, true, true},
                          Case{"?parity=O", CS8, PARENB | PARODD, true, false},
                          Case{"?bytesize=7&stopbits=1", CS7, 0, false, false}}) {
        SCOPED_TRACE(c.settings);
        ASSERT_EQ(1, Open(c.settings));
        EXPECT_EQ(c.size, g_termios.c_cflag & CSIZE);
        EXPECT_EQ(c.parity, g_termios.c_cflag & (PARENB | PARODD));
        EXPECT_EQ(c.input_check, (g_termios.c_iflag & INPCK) != 0);
        EXPECT_EQ(c.two_stop_bits, (g_termios.c_cflag & CSTOPB) != 0);
        QOR_ClosePort(kPort);
    }
}

TEST_F(SerialDriver, Rs485ModeRaisesRtsOnSendWithTheDelaysAndKeepsTheBoardsFlags) {
    ASSERT_EQ(1, Open("?rs485=1&rs485_delay_before_ms=3&rs485_delay_after_ms=4")) << PortError();
    EXPECT_EQ(g_rs485.flags, static_cast<__u32>(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND |
                                                SER_RS485_TERMINATE_BUS));
    EXPECT_EQ(g_rs485.delay_rts_before_send, 3u);
    EXPECT_EQ(g_rs485.delay_rts_after_send, 4u);
}

TEST_F(SerialDriver, WithoutTheOptionsTheDriverIsLeftAlone) {
    ASSERT_EQ(1, Open(""));
    EXPECT_EQ(g_rs485.flags,
              static_cast<__u32>(SER_RS485_TERMINATE_BUS | SER_RS485_RTS_AFTER_SEND));
    EXPECT_EQ(g_serial.flags, 0);
}

TEST_F(SerialDriver, LowLatencyFlagIsSet) {
    ASSERT_EQ(1, Open("?low_latency=1")) << PortError();
    EXPECT_NE(g_serial.flags & ASYNC_LOW_LATENCY, 0);
}

// A driver that takes the request and does less is found out on reading
// it back, and the open fails saying what the driver did.
TEST_F(SerialDriver, WhatTheDriverDoesNotKeepFailsTheOpen) {
    struct Case {
        const char *settings;
        void (*driver)(Driver *);
        const char *text;
    };
    const Case cases[] = {
        {"?rs485=1", [](Driver *d) { d->keeps_rts_on_send = false; },
         "the driver has no RS-485 mode (rs485=1)"},
        {"?rs485=1&rs485_delay_before_ms=200", [](Driver *) {},
         "the driver set the RS-485 delays to 100 ms before and 0 ms after sending, not 200 and "
         "0"},
        {"?low_latency=1", [](Driver *d) { d->keeps_low_latency = false; },
         "the driver takes no low-latency flag (low_latency=1)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.settings);
        SetUp();
        c.driver(&g_driver);
        EXPECT_EQ(0, Open(c.settings));
        EXPECT_EQ(PortError(), "cannot open " + pty_.Slave() + ": " + c.text);
        QOR_ClosePort(kPort);
    }
}

}  // namespace
