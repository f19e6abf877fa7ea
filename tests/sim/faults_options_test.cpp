// Reply faults and the command line, without any link.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/options.h"

using namespace std::chrono_literals;
using qor::sim::FaultOptions;
using qor::sim::FaultShaper;
using qor::sim::RandomFault;

namespace {

const std::string kReply = "*+00072.10\r";

FaultOptions Make(bool silent = false, int delay_ms = 0, const std::string &garbage = "",
                  bool truncate = false, int overlong = 0) {
    FaultOptions o;
    o.silent = silent;
    o.delay_ms = delay_ms;
    o.garbage = !garbage.empty();
    if (o.garbage) {
        o.garbage_text = garbage;
    }
    o.truncate = truncate;
    o.overlong = overlong;
    return o;
}

TEST(SimFaults, EachOptionShapesTheReply) {
    const struct {
        const char *name;
        FaultOptions options;
        bool send;
        std::string bytes;
        std::chrono::nanoseconds wait;
    } rows[] = {
        {"none", Make(), true, kReply, 0ns},
        {"silent", Make(true), false, "", 0ns},
        {"garbage", Make(false, 0, qor::sim::kDefaultGarbage), true, "#~%\r" + kReply, 0ns},
        {"garbage text", Make(false, 0, "XY"), true, "XY" + kReply, 0ns},
        {"truncate", Make(false, 0, "", true), true, "*+00072.10", 0ns},
        {"overlong", Make(false, 0, "", false, 20), true, "*+00072.100000000000\r", 0ns},
        {"overlong short", Make(false, 0, "", false, 5), true, kReply, 0ns},
        {"overlong cut", Make(false, 0, "", true, 12), true, "*+00072.1000", 0ns},
        {"delay", Make(false, 250), true, kReply, 250ms},
        {"garbage delay", Make(false, 30, "!"), true, "!" + kReply, 30ms},
    };
    for (const auto &r : rows) {
        FaultShaper shaper(r.options);
        const qor::sim::Transmission tx = shaper.Shape(kReply, 5);
        EXPECT_EQ(tx.send, r.send) << r.name;
        if (r.send) {
            EXPECT_EQ(tx.bytes, r.bytes) << r.name;
        }
        EXPECT_EQ(tx.wait_before, r.wait) << r.name;
        EXPECT_EQ(tx.per_char, 0ns) << r.name;
        EXPECT_EQ(tx.random, RandomFault::kNone) << r.name;
    }
}

TEST(SimFaults, NoNumberEmptiesOnlyTheRepliesToNumberQueries) {
    FaultOptions o;
    o.no_number = true;
    o.truncate = true;  // the later faults still apply
    FaultShaper shaper(o);
    EXPECT_EQ(shaper.Shape(kReply, 5, true).bytes, "*");
    EXPECT_EQ(shaper.Shape("*1\r", 7, false).bytes, "*1");
    FaultShaper plain(FaultOptions{});
    EXPECT_EQ(plain.Shape(kReply, 5, true).bytes, kReply);
    const struct {
        const char *frame;
        bool asks;
    } frames[] = {{"$1RD", true},    {"$1ND", true},  {"$1RZ", true},   {"#1RHAB", true},
                  {"$1RL", true},    {"$1RE", true},  {"$1ECD5", true}, {"$1WE", false},
                  {"$1RB05", false}, {"$1DI", false}, {"$1R", false},   {"", false}};
    for (const auto &f : frames) {
        EXPECT_EQ(qor::sim::AsksForNumber(f.frame), f.asks) << f.frame;
    }
}

TEST(SimFaults, BaudPacingCountsTenBitsPerCharacter) {
    FaultOptions o;
    o.baud = 1200;
    o.delay_ms = 100;
    FaultShaper shaper(o);
    const qor::sim::Transmission tx = shaper.Shape(kReply, 5);
    EXPECT_EQ(tx.per_char, 8333333ns);
    // The received frame's wire time comes before the reply, after the delay.
    EXPECT_EQ(tx.wait_before, 100ms + 5 * 8333333ns);
    EXPECT_EQ(tx.bytes, kReply);
}

TEST(SimFaults, RandomFaultsHitTheRequestedShareAndEachLooksRight) {
    FaultOptions o;
    o.fault_rate = 1.0;
    o.seed = 7;
    FaultShaper shaper(o);
    std::map<RandomFault, int> kinds;
    for (int i = 0; i < 500; ++i) {
        const qor::sim::Transmission tx = shaper.Shape(kReply, 5);
        ++kinds[tx.random];
        switch (tx.random) {
            case RandomFault::kNone:
                ADD_FAILURE() << "reply " << i << " has no fault at rate 1";
                break;
            case RandomFault::kSilence:
                EXPECT_FALSE(tx.send);
                break;
            case RandomFault::kDelay:
                EXPECT_GT(tx.wait_before, 300ms);
                EXPECT_EQ(tx.bytes, kReply);
                break;
            case RandomFault::kGarbage:
                EXPECT_EQ(tx.bytes, std::string(qor::sim::kRandomNoise) + kReply);
                break;
            case RandomFault::kTruncate:
                EXPECT_EQ(tx.bytes, kReply.substr(0, kReply.size() / 2));
                break;
            case RandomFault::kOverlong:
                EXPECT_EQ(tx.bytes.size(), qor::sim::kRandomOverlong + 1);
                EXPECT_EQ(tx.bytes.back(), '\r');
                break;
        }
    }
    EXPECT_EQ(kinds.size(), 5u);

    o.fault_rate = 0.2;
    FaultShaper some(o);
    FaultShaper same(o);
    int faulted = 0;
    for (int i = 0; i < 2000; ++i) {
        const qor::sim::Transmission a = some.Shape(kReply, 5);
        const qor::sim::Transmission b = same.Shape(kReply, 5);
        EXPECT_EQ(a.random, b.random) << "same seed, reply " << i;
        faulted += a.random != RandomFault::kNone;
    }
    EXPECT_GT(faulted, 300);
    EXPECT_LT(faulted, 500);

    // A bounded late reply, for hosts that must tell it from the next one.
    o.fault_rate = 1.0;
    o.fault_delay_low_ms = 100;
    o.fault_delay_high_ms = 180;
    FaultShaper bounded(o);
    for (int i = 0; i < 500; ++i) {
        const qor::sim::Transmission tx = bounded.Shape(kReply, 5);
        if (tx.random == RandomFault::kDelay) {
            EXPECT_GE(tx.wait_before, 100ms);
            EXPECT_LT(tx.wait_before, 180ms);
        }
    }

    // Only late replies, when those are the kinds asked for.
    o.fault_kinds = 1U << 1;
    FaultShaper late_only(o);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(late_only.Shape(kReply, 5).random, RandomFault::kDelay) << "reply " << i;
    }
}

qor::sim::ParseResult Parse(std::vector<std::string> args) {
    return qor::sim::ParseArgs(args);
}

TEST(SimOptions, AcceptsTheDocumentedForms) {
    auto o = Parse({"--pty"}).options;
    ASSERT_TRUE(o);
    EXPECT_EQ(o->mode, qor::sim::Mode::kPty);
    EXPECT_EQ(o->sim.addresses, "1");
    EXPECT_EQ(o->sim.di_bytes, 2);

    const struct {
        std::string where, host, port;
    } listens[] = {
        {"0", "127.0.0.1", "0"},
        {":0", "127.0.0.1", "0"},
        {"127.0.0.1:5555", "127.0.0.1", "5555"},
        {"localhost:7", "localhost", "7"},
        {"[::1]:0", "::1", "0"},
        {"4000", "127.0.0.1", "4000"},
    };
    for (const auto &l : listens) {
        for (const auto &args : {std::vector<std::string>{"--listen", l.where},
                                 std::vector<std::string>{"--listen=" + l.where}}) {
            auto p = qor::sim::ParseArgs(args);
            ASSERT_TRUE(p.options) << l.where << ": " << p.error;
            EXPECT_EQ(p.options->mode, qor::sim::Mode::kListen);
            EXPECT_EQ(p.options->host, l.host);
            EXPECT_EQ(p.options->port, l.port);
        }
    }

    o = Parse({"--pty", "--address", "1", "--address=B", "--address", "1", "--di-bytes", "24",
               "--garbage", "--steady", "--log"})
            .options;
    ASSERT_TRUE(o);
    EXPECT_EQ(o->sim.addresses, "1B");
    EXPECT_EQ(o->sim.di_bytes, 24);
    EXPECT_TRUE(o->faults.garbage);
    EXPECT_EQ(o->faults.garbage_text, qor::sim::kDefaultGarbage);
    EXPECT_EQ(o->sim.model.noise, 0.0);
    EXPECT_TRUE(o->log);

    o = Parse({"--listen", "0", "--garbage", "A\\r\\x01\\\\", "--delay-ms", "5", "--truncate",
               "--overlong", "60", "--baud", "9600", "--fault-rate", "0.25", "--seed", "99",
               "--drop-after", "3", "--silent", "--no-number"})
            .options;
    ASSERT_TRUE(o);
    EXPECT_EQ(o->faults.garbage_text, std::string("A\r\x01\\"));
    EXPECT_EQ(o->faults.delay_ms, 5);
    EXPECT_TRUE(o->faults.truncate);
    EXPECT_EQ(o->faults.overlong, 60);
    EXPECT_EQ(o->faults.baud, 9600);
    EXPECT_EQ(o->faults.fault_rate, 0.25);
    EXPECT_EQ(o->faults.seed, 99u);
    EXPECT_EQ(o->drop_after, 3);
    EXPECT_TRUE(o->faults.silent);
    EXPECT_TRUE(o->faults.no_number);
    EXPECT_EQ(o->faults.fault_delay_low_ms, 400);
    EXPECT_EQ(o->faults.fault_delay_high_ms, 800);

    o = Parse({"--pty", "--fault-delay-ms", "100-180"}).options;
    ASSERT_TRUE(o);
    EXPECT_EQ(o->faults.fault_delay_low_ms, 100);
    EXPECT_EQ(o->faults.fault_delay_high_ms, 180);
    o = Parse({"--pty", "--fault-delay-ms=250"}).options;
    ASSERT_TRUE(o);
    EXPECT_EQ(o->faults.fault_delay_low_ms, 250);
    EXPECT_EQ(o->faults.fault_delay_high_ms, 250);

    o = Parse({"--pty", "--fault-kinds", "late,silence"}).options;
    ASSERT_TRUE(o);
    EXPECT_EQ(o->faults.fault_kinds, 0x3u);
    EXPECT_EQ(Parse({"--pty"}).options->faults.fault_kinds, 0x1Fu);
    EXPECT_FALSE(Parse({"--pty"}).options->sim.distinct_limits);
    EXPECT_TRUE(Parse({"--pty", "--distinct-limits"}).options->sim.distinct_limits);

    o = Parse({"--help"}).options;
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->help);
    // Neither needs --pty or --listen, and what follows them is not read.
    o = Parse({"--version", "--bogus"}).options;
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->version);
    EXPECT_FALSE(o->help);
}

TEST(SimOptions, RefusesBadArguments) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--pty", "--listen", "0"},
        {"--listen", "0", "--pty"},
        {"--bogus", "--pty"},
        {"--pty", "extra"},
        {"--pty=1"},
        {"--listen"},
        {"--listen", "host:70000"},
        {"--listen", "a:b"},
        {"--listen", "[::1]0"},
        {"--di-bytes", "0", "--pty"},
        {"--pty", "--fault-kinds", "late,"},
        {"--pty", "--fault-kinds", "slow"},
        {"--di-bytes", "25", "--pty"},
        {"--di-bytes", "2x", "--pty"},
        {"--address", "12", "--pty"},
        {"--address", "$", "--pty"},
        {"--address", " ", "--pty"},
        {"--address"},
        {"--drop-after", "2", "--pty"},
        {"--drop-after", "0", "--listen", "0"},
        {"--fault-rate", "1.5", "--pty"},
        {"--fault-rate", "-0.1", "--pty"},
        {"--seed", "-3", "--pty"},
        {"--garbage=\\q", "--pty"},
        {"--garbage=\\x4", "--pty"},
        {"--delay-ms", "-1", "--pty"},
        {"--baud", "10", "--pty"},
        {"--overlong", "0", "--pty"},
        {"--fault-delay-ms", "200-100", "--pty"},
        {"--fault-delay-ms", "-5", "--pty"},
        {"--fault-delay-ms", "1-x", "--pty"},
        {"--fault-delay-ms", "1-700000", "--pty"},
    };
    for (const auto &args : bad) {
        const qor::sim::ParseResult p = qor::sim::ParseArgs(args);
        std::string joined;
        for (const auto &a : args) {
            joined += a + " ";
        }
        EXPECT_FALSE(p.options) << joined;
        EXPECT_FALSE(p.error.empty()) << joined;
    }
}

}  // namespace
