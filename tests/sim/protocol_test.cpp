// The simulator's protocol part driven directly: frames in, replies out, with
// a clock chosen by the test.
#include "sim/protocol.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using qor::sim::FrameAssembler;
using qor::sim::SimConfig;
using qor::sim::Simulator;

namespace {

SimConfig Steady(const std::string &addresses = "1", int di_bytes = 2) {
    SimConfig c;
    c.addresses = addresses;
    c.di_bytes = di_bytes;
    c.model.amplitude = 0;
    c.model.noise = 0;
    return c;
}

// The frame with its two checksum digits appended.
std::string Cs(const std::string &frame) {
    return frame + qor::sim::ChecksumHex(frame);
}

std::string Ask(Simulator &sim, const std::string &frame, double now = 0.0) {
    const auto reply = sim.Handle(frame, now);
    return reply ? *reply : "<none>";
}

struct Row {
    std::vector<std::string> before;  // sent first, replies not checked
    std::string frame;
    std::string reply;
};

void RunTable(const std::vector<Row> &rows, const SimConfig &config = Steady()) {
    for (const Row &row : rows) {
        Simulator sim(config);
        for (const std::string &f : row.before) {
            sim.Handle(f, 0.0);
        }
        EXPECT_EQ(Ask(sim, row.frame), row.reply) << "frame " << row.frame;
    }
}

TEST(SimChecksum, MatchesTheKnownFrames) {
    EXPECT_EQ(qor::sim::ChecksumHex("$1RD"), "EB");
    EXPECT_EQ(qor::sim::ChecksumHex("$1WE"), "F1");
    EXPECT_EQ(qor::sim::ChecksumHex("$1HI+00100.00L"), "DC");
    EXPECT_EQ(qor::sim::ChecksumHex("*1DI0F5A"), "D4");
    EXPECT_EQ(qor::sim::ChecksumHex(""), "00");
}

TEST(SimValueField, FormatsAndParses) {
    const struct {
        qor::sim::Cents cents;
        const char *text;
    } rows[] = {
        {7210, "+00072.10"},    {-346, "-00003.46"},     {0, "+00000.00"},
        {9999999, "+99999.99"}, {-9999999, "-99999.99"}, {5, "+00000.05"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(qor::sim::FormatValue(r.cents), r.text);
        EXPECT_EQ(qor::sim::ParseValue(r.text), r.cents) << r.text;
    }
    EXPECT_EQ(qor::sim::FormatValue(123456789), "+99999.99");
    EXPECT_EQ(qor::sim::FormatValue(-123456789), "-99999.99");
    for (const char *bad : {"+0072.10", "00072.100", "+00072,10", "*00072.10", "+0007a.10",
                            "+00072.1 ", "", "+000072.1"}) {
        EXPECT_FALSE(qor::sim::ParseValue(bad).has_value()) << bad;
    }
}

TEST(SimCommands, AnswerInTheShortLayoutWithAndWithoutChecksum) {
    // Commands whose replies do not change when the frame has a checksum.
    const std::vector<Row> rows = {
        {{}, "$1RD", "*+00072.10\r"},
        {{}, "$1ND", "*+00072.10\r"},
        {{}, "$1RZ", "*+00072.10\r"},
        {{}, "$1RH", "*+00100.00L\r"},
        {{}, "$1RL", "*-00010.00M\r"},
        {{}, "$1RE", "*0000000\r"},
        {{"$1RD", "$1ND"}, "$1RE", "*0000002\r"},
        {{}, "$1WE", "*\r"},
        {{}, "$1ACK", "*\r"},
        {{}, "$1AO+00012.50", "*\r"},
        {{}, "$1AO-99999.99", "*\r"},
        {{}, "$1DOA5", "*\r"},
        {{}, "$1DO0FA5", "*\r"},
        {{}, "$1SB05", "*\r"},
        {{}, "$1CB3F", "*\r"},
        {{"$1WE"}, "$1CA", "*\r"},
        {{"$1WE"}, "$1CE", "*\r"},
        {{"$1WE"}, "$1CZ", "*\r"},
        {{"$1WE"}, "$1DA", "*\r"},
        {{"$1WE"}, "$1EA", "*\r"},
        {{"$1WE"}, "$1RR", "*\r"},
        {{"$1WE"}, "$1HI+00100.00L", "*\r"},
        {{"$1WE"}, "$1LO-00010.00", "*\r"},
        {{"$1WE"}, "$1SP-00003.46", "*\r"},
        {{"$1WE"}, "$1TS+00001.00", "*\r"},
        {{"$1WE"}, "$1TZ-00001.00", "*\r"},
    };
    RunTable(rows);
    std::vector<Row> with_checksum;
    for (const Row &r : rows) {
        Row c = r;
        for (std::string &f : c.before) {
            f = Cs(f);
        }
        c.frame = Cs(c.frame);
        with_checksum.push_back(c);
    }
    RunTable(with_checksum);
}

TEST(SimCommands, ShortLayoutsOfEcRbDi) {
    RunTable({
        {{"$1RD", "$1RD", "$1RD", "$1WE"}, "$1EC", "*0000003\r"},
        {{"$1RD", "$1WE", "$1EC"}, "$1RE", "*0000000\r"},
        {{"$1SB05"}, "$1RB05", "*1\r"},
        {{"$1SB05", "$1CB05"}, "$1RB05", "*0\r"},
        {{"$1SB3F"}, "$1RB3f", "*1\r"},
        {{"$1SB3F"}, "$1RB3E", "*0\r"},
        {{}, "$1DI", "*0000\r"},
        {{"$1DO0FA5"}, "$1DI", "*0FA5\r"},
        {{"$1DO0FA5", "$1DO3C"}, "$1DI", "*0F3C\r"},
    });
}

TEST(SimCommands, ChecksumFramesGetLongLayoutsForEcRbDi) {
    RunTable({
        {{"$1RD", "$1RD", "$1RD", Cs("$1WE")}, Cs("$1EC"), Cs("*1EC0000003") + "\r"},
        {{Cs("$1SB05")}, Cs("$1RB05"), Cs("*1RB051") + "\r"},
        {{}, Cs("$1RB05"), Cs("*1RB050") + "\r"},
        {{Cs("$1DO0F5A")}, Cs("$1DI"), "*1DI0F5AD4\r"},
    });
}

TEST(SimCommands, DiCarriesTheConfiguredByteCount) {
    // Bytes beyond the looped-back outputs hold their own position number.
    const struct {
        int bytes;
        const char *reply;
    } rows[] = {
        {1, "*A5\r"},
        {2, "*0FA5\r"},
        {4, "*04030FA5\r"},
        {24,
         "*181716151413121110"
         "0F0E0D0C0B0A09080706050403"
         "0FA5\r"},
    };
    for (const auto &r : rows) {
        Simulator sim(Steady("1", r.bytes));
        sim.Handle("$1DO0FA5", 0);
        EXPECT_EQ(Ask(sim, "$1DI"), r.reply) << r.bytes;
    }
}

TEST(SimCommands, HashPromptAsksForLongRepliesToEverything) {
    RunTable({
        {{}, "#1RD", Cs("*1RD+00072.10") + "\r"},
        {{}, "#1WE", Cs("*1WE") + "\r"},
        {{}, "#1RH", Cs("*1RH+00100.00L") + "\r"},
        {{}, Cs("#1RE"), Cs("*1RE0000000") + "\r"},
        {{"$1SB07"}, "#1RB07", Cs("*1RB071") + "\r"},
        {{}, "#1XX", "?1 UNKNOWN COMMAND\r"},
    });
}

TEST(SimErrors, RepliesCarryTheCodeAtIndexThree) {
    RunTable({
        {{}, "$1XX", "?1 UNKNOWN COMMAND\r"},
        {{}, "$1rd", "?1 UNKNOWN COMMAND\r"},
        {{}, "$1", "?1 UNKNOWN COMMAND\r"},
        {{}, "$1R", "?1 UNKNOWN COMMAND\r"},
        {{}, "$1AC", "?1 UNKNOWN COMMAND\r"},
        {{}, "$1RDEC", "?1 CHECKSUM\r"},
        {{}, "$1RDZZ", "?1 CHECKSUM\r"},
        {{}, "$1RD1", "?1 SYNTAX\r"},
        {{}, "$1RD123", "?1 SYNTAX\r"},
        {{}, "$1AO+0012.50", "?1 SYNTAX\r"},
        {{}, "$1AO 00012.50", "?1 SYNTAX\r"},
        {{}, "$1AO+00012.500", "?1 SYNTAX\r"},
        {{}, Cs("$1AO+00012.50") + "0", "?1 SYNTAX\r"},
        {{}, "$1AO+00012.5011", "?1 CHECKSUM\r"},
        {{}, "$1DOA", "?1 SYNTAX\r"},
        {{}, "$1DOA5B", "?1 SYNTAX\r"},
        {{}, "$1DOG0", "?1 SYNTAX\r"},
        {{}, "$1DO0FA5FF", "?1 CHECKSUM\r"},
        {{}, "$1RB5", "?1 SYNTAX\r"},
        {{}, "$1RBZZ", "?1 SYNTAX\r"},
        {{}, "$1RB40", "?1 RANGE\r"},
        {{}, "$1SBFF", "?1 RANGE\r"},
        {{}, Cs("$1CB40"), "?1 RANGE\r"},
        {{}, "$1RB0500", "?1 CHECKSUM\r"},
        {{"$1WE"}, "$1TS-00100.00", "?1 RANGE\r"},
        {{"$1WE"}, "$1SP+00001.0", "?1 SYNTAX\r"},
        {{"$1WE"}, Cs("$1HI+00100.00X"), "?1 SYNTAX\r"},
    });
    // Frames for addresses that are not served get no reply at all.
    RunTable({{{}, "$2RD", "<none>"}, {{}, "$2XX", "<none>"}, {{}, "$", "<none>"}});
}

TEST(SimWriteProtection, EachProtectedCommandNeedsWeJustBefore) {
    const std::vector<std::string> guarded = {"$1CA",          "$1CE",          "$1CZ",
                                              "$1DA",          "$1EA",          "$1RR",
                                              "$1EC",          "$1HI+00200.00", "$1LO-00020.00M",
                                              "$1SP+00001.00", "$1TS+00001.00", "$1TZ+00001.00"};
    for (const std::string &g : guarded) {
        for (bool with_cs : {false, true}) {
            auto f = [with_cs](const std::string &x) { return with_cs ? Cs(x) : x; };
            Simulator sim(Steady());
            EXPECT_EQ(Ask(sim, f(g)), "?1 WRITE PROTECTED\r") << g;
            EXPECT_EQ(Ask(sim, f("$1WE")), "*\r");
            // EC answers with the count; the layout depends on the checksum.
            const std::string ok = Ask(sim, f(g));
            EXPECT_EQ(ok.substr(0, 1), "*") << g << " " << ok;
            // The write enable is used up by the accepted command.
            EXPECT_EQ(Ask(sim, f(g)), "?1 WRITE PROTECTED\r") << g;
        }
    }
}

TEST(SimWriteProtection, OnlyTheLastAcceptedCommandCounts) {
    RunTable({
        // Any accepted command in between clears the write enable.
        {{"$1WE", "$1RD"}, "$1RR", "?1 WRITE PROTECTED\r"},
        {{"$1WE", "$1ACK"}, "$1SP+00001.00", "?1 WRITE PROTECTED\r"},
        {{"$1WE", "$1DOA5"}, "$1CZ", "?1 WRITE PROTECTED\r"},
        // WE twice is still enabled.
        {{"$1WE", "$1WE"}, "$1RR", "*\r"},
        // Refused frames are not accepted commands and leave it in place.
        {{"$1WE", "$1XX", "$1RDEC"}, "$1RR", "*\r"},
        {{"$1WE", "$1HI+00100.00X"}, "$1HI+00100.00", "*\r"},
        // A protected command that is refused for its data keeps it too.
        {{"$1WE", "$1TS-00100.00"}, "$1TS+00001.00", "*\r"},
    });
    // Each module has its own write enable.
    Simulator sim(Steady("12"));
    EXPECT_EQ(Ask(sim, "$1WE"), "*\r");
    EXPECT_EQ(Ask(sim, "$2RR"), "?2 WRITE PROTECTED\r");
    EXPECT_EQ(Ask(sim, "$1RR"), "*\r");
}

TEST(SimLimits, ModeLetterIsOptionalAndChecksumIsToldApart) {
    const struct {
        std::string frame;  // sent after WE
        std::string reply;
        std::string rh;  // RH (or RL for LO frames) afterwards
    } rows[] = {
        {"$1HI+00200.00", "*\r", "*+00200.00L\r"},
        {"$1HI+00200.00M", "*\r", "*+00200.00M\r"},
        {Cs("$1HI+00200.00"), "*\r", "*+00200.00L\r"},
        {Cs("$1HI-00200.00M"), "*\r", "*-00200.00M\r"},
        {"$1HI+00100.00LDC", "*\r", "*+00100.00L\r"},
        {"$1LO-00020.00", "*\r", "*-00020.00M\r"},
        {"$1LO-00020.00L", "*\r", "*-00020.00L\r"},
        {Cs("$1LO+00001.00L"), "*\r", "*+00001.00L\r"},
        {"$1HI+00200.00X", "?1 SYNTAX\r", "*+00100.00L\r"},
        {"$1HI+00200.00l", "?1 SYNTAX\r", "*+00100.00L\r"},
        // Eleven characters after HI can only be value plus checksum.
        {"$1HI+00200.00LL", "?1 CHECKSUM\r", "*+00100.00L\r"},
        {"$1HI+00200.00M00", "?1 CHECKSUM\r", "*+00100.00L\r"},
        {"$1HI+00200.0", "?1 SYNTAX\r", "*+00100.00L\r"},
        {"$1HI+00200.00LDC0", "?1 SYNTAX\r", "*+00100.00L\r"},
    };
    for (const auto &r : rows) {
        Simulator sim(Steady());
        sim.Handle("$1WE", 0);
        EXPECT_EQ(Ask(sim, r.frame), r.reply) << r.frame;
        EXPECT_EQ(Ask(sim, r.frame.substr(0, 4) == "$1LO" ? "$1RL" : "$1RH"), r.rh) << r.frame;
    }
    // A limit set without a letter keeps the mode set before.
    Simulator sim(Steady());
    for (const char *f : {"$1WE", "$1HI+00050.00M", "$1WE", "$1HI+00060.00"}) {
        EXPECT_EQ(Ask(sim, f), "*\r") << f;
    }
    EXPECT_EQ(Ask(sim, "$1RH"), "*+00060.00M\r");
}

TEST(SimOutputs, DoFrameLengthsAreReadAsBytesOrChecksum) {
    const struct {
        std::vector<std::string> frames;
        std::string di;
    } rows[] = {
        {{"$1DO1234"}, "*1234\r"},
        {{"$1DO1234", "$1DO56"}, "*1256\r"},
        {{"$1DO1234", Cs("$1DO56")}, "*1256\r"},
        {{Cs("$1DO1234")}, "*1234\r"},
        {{"$1DOab"}, "*00AB\r"},
        // Four digits whose last two are not a checksum: two bytes.
        {{"$1DO0FA5"}, "*0FA5\r"},
    };
    for (const auto &r : rows) {
        Simulator sim(Steady());
        for (const std::string &f : r.frames) {
            EXPECT_EQ(Ask(sim, f), "*\r") << f;
        }
        EXPECT_EQ(Ask(sim, "$1DI"), r.di) << r.frames.back();
    }
}

TEST(SimState, TrimsZeroAndResetChangeWhatIsRead) {
    Simulator sim(Steady());
    EXPECT_EQ(Ask(sim, "$1WE"), "*\r");
    EXPECT_EQ(Ask(sim, "$1TZ+00005.00"), "*\r");
    EXPECT_EQ(Ask(sim, "$1RD"), "*+00077.10\r");
    EXPECT_EQ(Ask(sim, "$1WE"), "*\r");
    EXPECT_EQ(Ask(sim, "$1TS+00010.00"), "*\r");  // +10 % gain
    EXPECT_EQ(Ask(sim, "$1RD"), "*+00084.31\r");
    EXPECT_EQ(Ask(sim, "$1WE"), "*\r");
    EXPECT_EQ(Ask(sim, "$1CZ"), "*\r");
    EXPECT_EQ(Ask(sim, "$1RZ"), "*+00000.00\r");
    EXPECT_EQ(Ask(sim, "$1RD"), "*+00084.31\r");

    for (const char *f : {"$1SB00", "$1SB3F", "$1DO8001", "$1WE", "$1HI+00001.00M"}) {
        EXPECT_EQ(Ask(sim, f), "*\r") << f;
    }
    EXPECT_EQ(Ask(sim, "$1WE"), "*\r");
    EXPECT_EQ(Ask(sim, "$1RR"), "*\r");
    EXPECT_EQ(Ask(sim, "$1RD"), "*+00072.10\r");
    EXPECT_EQ(Ask(sim, "$1RZ"), "*+00072.10\r");
    EXPECT_EQ(Ask(sim, "$1RH"), "*+00100.00L\r");
    EXPECT_EQ(Ask(sim, "$1RB00"), "*0\r");
    EXPECT_EQ(Ask(sim, "$1RB3F"), "*0\r");
    EXPECT_EQ(Ask(sim, "$1DI"), "*0000\r");
    EXPECT_EQ(Ask(sim, "$1RE"), "*0000001\r");  // the RD since the reset
}

TEST(SimState, ModulesOnOneLinkKeepSeparateState) {
    Simulator sim(Steady("1A"));
    EXPECT_TRUE(sim.Serves('A'));
    EXPECT_FALSE(sim.Serves('2'));
    EXPECT_EQ(Ask(sim, "$ASB01"), "*\r");
    EXPECT_EQ(Ask(sim, "$ADOFF"), "*\r");
    EXPECT_EQ(Ask(sim, "$ARB01"), "*1\r");
    EXPECT_EQ(Ask(sim, "$1RB01"), "*0\r");
    EXPECT_EQ(Ask(sim, "$1DI"), "*0000\r");
    EXPECT_EQ(Ask(sim, "$ADI"), "*00FF\r");
    EXPECT_EQ(Ask(sim, Cs("$ADI")), Cs("*ADI00FF") + "\r");
}

TEST(SimReading, VariesSlowlyWithinItsBand) {
    SimConfig c;  // the default moving model
    Simulator sim(c);
    const double band = c.model.amplitude + c.model.noise + 0.01;
    std::set<qor::sim::Cents> seen;
    for (double t = 0; t < 120; t += 0.37) {
        const qor::sim::Cents v = sim.Reading('1', t);
        EXPECT_NEAR(static_cast<double>(v) / 100.0, c.model.base, band) << t;
        seen.insert(v);
    }
    EXPECT_GT(seen.size(), 10u);
    // RD within one conversion period repeats itself; ND takes a new one.
    EXPECT_EQ(Ask(sim, "$1RD", 10.01), Ask(sim, "$1RD", 10.05));
    std::set<std::string> fresh;
    for (int i = 0; i < 10; ++i) {
        fresh.insert(Ask(sim, "$1ND", 10.02));
    }
    EXPECT_GT(fresh.size(), 1u);
}

TEST(SimFrames, AssemblerFindsFramesInNoise) {
    const struct {
        std::string bytes;
        std::vector<std::string> frames;
    } rows[] = {
        {"$1RD\r", {"$1RD"}},
        {"noise\r\n$1RD\r\n$2WE\r", {"$1RD", "$2WE"}},
        {"$1R$1RD\r", {"$1RD"}},  // a prompt starts over
        {"#1RD\r", {"#1RD"}},
        {"\r\r$\r", {"$"}},
        {"$" + std::string(63, 'x') + "\r", {"$" + std::string(63, 'x')}},
        {"$" + std::string(64, 'x') + "\r$1RD\r", {"$1RD"}},  // too long: dropped whole
        {"$1RD", {}},                                         // no CR yet
    };
    for (const auto &r : rows) {
        FrameAssembler a;
        std::vector<std::string> got;
        for (char c : r.bytes) {
            if (auto f = a.Feed(c)) {
                got.push_back(*f);
            }
        }
        EXPECT_EQ(got, r.frames) << r.bytes;
    }
    FrameAssembler a;
    for (char c : std::string("$1R")) {
        a.Feed(c);
    }
    a.Reset();
    EXPECT_FALSE(a.Feed('\r').has_value());
}

}  // namespace

namespace {

TEST(SimProtocol, DistinctLimitsFollowTheAddressOrder) {
    SimConfig config = Steady("531");
    config.distinct_limits = true;
    RunTable({{{}, "$5RH", "*+00100.00L\r"},
              {{}, "$3RH", "*+00101.00L\r"},
              {{}, "$1RH", "*+00102.00L\r"}},
             config);
}

}  // namespace
