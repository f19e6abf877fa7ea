// Argument parsing and result formatting of the qor tool, without a link.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "cli/cli.h"
#include "cli/run.h"
#include "common/iso_time.h"
#include "common/message_text.h"
#include "common/option_scan.h"
#include "qor_comm.h"
#include "qor_dll.h"

using namespace qor::cli;

namespace {

struct ValueCase {
    const char *text;
    bool ok;
    double value;
};

TEST(ToolsParse, ValuesAreStrictDecimals) {
    const ValueCase cases[] = {
        {"72.1", true, 72.1},
        {"-3.46", true, -3.46},
        {"+100", true, 100.0},
        {".5", true, 0.5},
        {"-.5", true, -0.5},
        {"1.", true, 1.0},
        {"0", true, 0.0},
        {"99999.99", true, 99999.99},
        {"-99999.99", true, -99999.99},
        {"99999.994", true, 99999.994},
        {"99999.995", false, 0},
        {"100000", false, 0},
        {"-100000", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {".", false, 0},
        {"12abc", false, 0},
        {"1e3", false, 0},
        {"nan", false, 0},
        {"NaN", false, 0},
        {"inf", false, 0},
        {"-inf", false, 0},
        {" 1", false, 0},
        {"1 ", false, 0},
        {"1,5", false, 0},
        {"--1", false, 0},
        {"+-1", false, 0},
        {"0x10", false, 0},
        {"1..2", false, 0},
        {"1.2.3", false, 0},
    };
    for (const ValueCase &c : cases) {
        double v = -12345;
        EXPECT_EQ(ParseValue(c.text, v), c.ok) << "'" << c.text << "'";
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, c.value) << "'" << c.text << "'";
        } else {
            EXPECT_EQ(v, -12345) << "output touched for '" << c.text << "'";
        }
    }
}

struct IntCase {
    const char *text;
    long min, max;
    bool ok;
    long value;
};

TEST(ToolsParse, IntegersAreStrictAndInRange) {
    const IntCase cases[] = {
        {"5", 0, 63, true, 5},
        {"+5", 0, 63, true, 5},
        {"63", 0, 63, true, 63},
        {"64", 0, 63, false, 0},
        {"-1", 0, 63, false, 0},
        {"-1", -5, 5, true, -1},
        {"007", 0, 63, true, 7},
        {"", 0, 63, false, 0},
        {"+", 0, 63, false, 0},
        {"5x", 0, 63, false, 0},
        {"0x5", 0, 63, false, 0},
        {"5.0", 0, 63, false, 0},
        {" 5", 0, 63, false, 0},
        {"+-5", -9, 9, false, 0},
        {"99999999999999999999999", 0, 1000000000, false, 0},
    };
    for (const IntCase &c : cases) {
        long v = -777;
        EXPECT_EQ(ParseInteger(c.text, c.min, c.max, v), c.ok) << "'" << c.text << "'";
        if (c.ok) {
            EXPECT_EQ(v, c.value) << "'" << c.text << "'";
        }
    }
}

TEST(ToolsParse, BytesTakeDecimalOrHex) {
    const struct {
        const char *text;
        bool ok;
        int value;
    } cases[] = {
        {"0", true, 0},      {"255", true, 255}, {"0xFF", true, 255}, {"0x0f", true, 15},
        {"0XA5", true, 165}, {"0x5", true, 5},   {"256", false, 0},   {"0x100", false, 0},
        {"0x", false, 0},    {"0x-1", false, 0}, {"0x+1", false, 0},  {"-1", false, 0},
        {"+1", false, 0},    {"1.0", false, 0},  {"A5", false, 0},    {"0xG1", false, 0},
    };
    for (const auto &c : cases) {
        int v = -1;
        EXPECT_EQ(ParseByte(c.text, v), c.ok) << "'" << c.text << "'";
        if (c.ok) {
            EXPECT_EQ(v, c.value) << "'" << c.text << "'";
        }
    }
}

// What a parsed line does: "command" (one library command), "help",
// "version", or the subcommand's name.
std::string ActionOf(const CommandLine &cl) {
    switch (cl.action) {
        case Action::kCommand:
            return "command";
        case Action::kHelp:
            return "help";
        case Action::kVersion:
            return "version";
        case Action::kSubcommand:
            return cl.subcommand->name;
    }
    return "";
}

struct GoodLine {
    std::vector<std::string> args;
    const char *action;
    const char *command;  // table row, or nullptr
    int port;
    char address;
    bool checksum;
    float value;
    int mode;
    std::vector<int> ints;
};

TEST(ToolsParse, CommandLinesThatWork) {
    const GoodLine cases[] = {
        {{"rd"}, "command", "rd", 1, '1', false, 0, 2, {}},
        {{"RD"}, "command", "rd", 1, '1', false, 0, 2, {}},
        {{"--port", "3", "--address", "A", "--checksum", "rh"},
         "command",
         "rh",
         3,
         'A',
         true,
         0,
         2,
         {}},
        {{"rd", "--address=7", "--port=2"}, "command", "rd", 2, '7', false, 0, 2, {}},
        {{"hi", "100", "L"}, "command", "hi", 1, '1', false, 100.0f, 1, {}},
        {{"hi", "5", "m"}, "command", "hi", 1, '1', false, 5.0f, 0, {}},
        {{"lo", "-3.46"}, "command", "lo", 1, '1', false, -3.46f, 2, {}},
        {{"sp", "--", "-3.46"}, "command", "sp", 1, '1', false, -3.46f, 2, {}},
        {{"ao", "+12.5"}, "command", "ao", 1, '1', false, 12.5f, 2, {}},
        {{"do", "0x0F"}, "command", "do", 1, '1', false, 0, 2, {15}},
        {{"do", "15", "0xa5"}, "command", "do", 1, '1', false, 0, 2, {15, 165}},
        {{"di", "2", "1", "7"}, "command", "di", 1, '1', false, 0, 2, {2, 1, 7}},
        {{"di", "24", "24", "0"}, "command", "di", 1, '1', false, 0, 2, {24, 24, 0}},
        {{"sb", "63"}, "command", "sb", 1, '1', false, 0, 2, {63}},
        {{"--address", "~", "cb", "0"}, "command", "cb", 1, '~', false, 0, 2, {0}},
        {{"scan", "--timeout", "50"}, "scan", nullptr, 1, '1', false, 0, 2, {}},
        {{"poll", "rd", "--interval", "100", "--count", "3"},
         "poll",
         "rd",
         1,
         '1',
         false,
         0,
         2,
         {}},
        {{"--interval=10", "poll", "di", "2", "1", "0"},
         "poll",
         "di",
         1,
         '1',
         false,
         0,
         2,
         {2, 1, 0}},
        {{"demo"}, "demo", nullptr, 1, '1', false, 0, 2, {}},
        {{"--version", "rd"}, "version", nullptr, 1, '1', false, 0, 2, {}},
        {{"--help"}, "help", nullptr, 1, '1', false, 0, 2, {}},
    };
    for (const GoodLine &c : cases) {
        CommandLine cl;
        std::string error;
        const std::string label = ::testing::PrintToString(c.args);
        ASSERT_TRUE(ParseCommandLine(c.args, cl, error)) << label << ": " << error;
        EXPECT_EQ(ActionOf(cl), c.action) << label;
        EXPECT_EQ(cl.options.port, c.port) << label;
        EXPECT_EQ(cl.options.addresses, std::vector<int>{c.address}) << label;
        EXPECT_EQ(cl.options.checksum, c.checksum) << label;
        if (c.command != nullptr) {
            // poll keeps its queries apart; these lines give it one.
            const Invocation &inv = cl.queries.empty() ? cl.invocation : cl.queries.front();
            ASSERT_NE(inv.row, nullptr) << label;
            EXPECT_STREQ(inv.row->name, c.command) << label;
            EXPECT_FLOAT_EQ(inv.value, c.value) << label;
            EXPECT_EQ(inv.mode, c.mode) << label;
            EXPECT_EQ(inv.ints, c.ints) << label;
        }
    }
}

// Addresses add up over repeated options and lists; poll's queries keep
// their order and arguments; the trace, retries and links are recorded.
TEST(ToolsParse, AddressesQueriesAndLinks) {
    const struct {
        std::vector<std::string> args;
        const char *addresses;
        std::vector<std::string> queries;  // poll's, by QueryName
        size_t links;
        int retries;
        bool trace;
    } cases[] = {
        {{"--address", "1,2,5", "rd"}, "125", {}, 0, 0, false},
        {{"--address", "1", "--address", "A", "rd"}, "1A", {}, 0, 0, false},
        {{"--address=1,A", "--address", "~", "rd"}, "1A~", {}, 0, 0, false},
        {{"--address", ",", "rd"}, ",", {}, 0, 0, false},
        {{"--debug", "rd"}, "1", {}, 0, 0, true},
        {{"--trace", "--retries", "3", "hi", "5"}, "1", {}, 0, 3, true},
        {{"--link", "a", "--link", "b", "poll", "rd", "RE", "di", "2", "1", "0", "--interval", "5"},
         "1",
         {"rd", "re", "di 2 1 0"},
         2,
         0,
         false},
        {{"--address", "1,2", "poll", "rb", "5", "rb", "6", "--interval", "5"},
         "12",
         {"rb 5", "rb 6"},
         0,
         0,
         false},
    };
    for (const auto &c : cases) {
        CommandLine cl;
        std::string error;
        const std::string label = ::testing::PrintToString(c.args);
        ASSERT_TRUE(ParseCommandLine(c.args, cl, error)) << label << ": " << error;
        EXPECT_EQ(std::string(cl.options.addresses.begin(), cl.options.addresses.end()),
                  c.addresses)
            << label;
        std::vector<std::string> queries;
        for (const Invocation &q : cl.queries) {
            queries.push_back(QueryName(q));
        }
        EXPECT_EQ(queries, c.queries) << label;
        EXPECT_EQ(cl.options.links.size(), c.links) << label;
        EXPECT_EQ(cl.options.retries, c.retries) << label;
        EXPECT_EQ(cl.options.trace, c.trace) << label;
    }
}

TEST(ToolsParse, HelpTopics) {
    const struct {
        std::vector<std::string> args;
        const char *topic;
    } cases[] = {
        {{"hi", "--help"}, "hi"},
        {{"-h", "poll"}, "poll"},
        {{"help", "di"}, "di"},
        {{"help"}, ""},
        {{"scan", "-h"}, "scan"},
        {{"demo", "--help"}, "demo"},
        {{"hi", "garbage", "--help"}, "hi"},
    };
    for (const auto &c : cases) {
        CommandLine cl;
        std::string error;
        ASSERT_TRUE(ParseCommandLine(c.args, cl, error)) << error;
        EXPECT_EQ(cl.action, Action::kHelp);
        EXPECT_EQ(cl.help_topic, c.topic);
    }
}

TEST(ToolsParse, CommandLinesThatAreRefused) {
    const struct {
        std::vector<std::string> args;
        const char *message;  // part of the one-line error
    } cases[] = {
        {{}, "no command"},
        {{"xx"}, "unknown command 'xx'"},
        {{"help", "xx"}, "unknown command 'xx'"},
        {{"rd", "extra"}, "expected 'rd'"},
        {{"hi"}, "expected 'hi VALUE [L|M]'"},
        {{"hi", "1", "X"}, "L (latching)"},
        {{"hi", "1", "L", "2"}, "got 3 arguments"},
        {{"sp", "12abc"}, "VALUE must be"},
        {{"sp", "100000"}, "VALUE must be"},
        {{"do"}, "expected 'do BYTE [BYTE]'"},
        {{"do", "256"}, "BYTE must be"},
        {{"do", "1", "2", "3"}, "got 3"},
        {{"di", "25", "1", "0"}, "COUNT must be"},
        {{"di", "2", "3", "0"}, "INDEX must be from 1 (last byte) to COUNT (2)"},
        {{"di", "2", "1", "8"}, "BIT must be a bit of the byte"},
        {{"rb", "64"}, "BIT must be a bit number"},
        {{"--port", "0", "rd"}, "--port needs"},
        {{"rd", "--port"}, "--port needs a value"},
        {{"--address", "12", "rd"}, "--address needs one printable"},
        {{"--address=", "rd"}, "--address needs one printable"},
        {{"--timeout", "0", "rd"}, "--timeout needs"},
        {{"--bogus", "rd"}, "unknown option '--bogus'"},
        {{"-x", "rd"}, "unknown option '-x'"},
        {{"--checksum=1", "rd"}, "takes no value"},
        {{"rd", "--interval", "10"}, "cannot be used"},
        {{"poll", "rd"}, "--interval"},
        {{"poll"}, "needs a query"},
        {{"poll", "ec", "--interval", "10"}, "poll repeats a query"},
        {{"poll", "rd", "ec", "--interval", "10"}, "not 'ec'"},
        {{"poll", "rdd", "--interval", "10"}, "did you mean 'rd'?"},
        {{"poll", "rd", "RD", "--interval", "10"}, "'rd' is given twice"},
        {{"poll", "di", "2", "1", "0", "rd", "di", "2", "1", "0", "--interval", "10"},
         "'di 2 1 0' is given twice"},
        {{"hii"}, "unknown command 'hii'; did you mean 'hi'?"},
        {{"sacn"}, "did you mean 'scan'?"},
        {{"r"}, "did you mean 'rd', 'rz' or 'rh'?"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"x\x1b[2J"}, "unknown command 'x\\x1b[2J'"},
        {{"help", "scna"}, "did you mean 'scan'?"},
        {{"--adress", "1", "rd"}, "unknown option '--adress'; did you mean '--address'?"},
        {{"--address", "1,1", "rd"}, "--address 1 is given twice"},
        {{"--address", "1", "--address", "1", "rd"}, "--address 1 is given twice"},
        {{"--address", "1,,2", "rd"}, "or a list such as 1,2,5"},
        {{"--address", "1,", "rd"}, "or a list such as 1,2,5"},
        {{"--address", "1,23", "rd"}, "or a list such as 1,2,5"},
        {{"--address", "$", "rd"}, "--address cannot be $: every frame begins with it"},
        {{"--address", "1,$,2", "rd"}, "\"$$RD\" would be a frame for module R"},
        {{"--address=1", "--address", "$", "poll", "rd"}, "--address cannot be $"},
        {{"--address", "\r", "rd"}, "--address needs one printable"},
        {{"--retries", "11", "rd"}, "--retries needs"},
        {{"--retries", "1", "ec"}, "--retries cannot be used with ec: it clears the counter"},
        {{"--retries", "1", "rr"}, "--retries cannot be used with rr"},
        {{"--link", "a", "--link", "b", "rd"}, "only poll uses several links"},
        {{"--port", "254", "--link", "a", "--link", "b", "--link", "c", "poll", "rd", "--interval",
          "10"},
         "takes ports 254 to 256; ports go up to 255: give --port 253 or lower"},
        {{"--link", "a", "--link", "b", "scan"}, "scan uses one link"},
        {{"scan", "--retries", "1"}, "--retries cannot be used with scan"},
        {{"ports", "--link", "x"}, "cannot be used with ports"},
        {{"ports", "now"}, "ports takes no arguments"},
        {{"poll", "rd", "--interval", "0"}, "--interval needs"},
        {{"poll", "rd", "--interval", "10", "--count", "0"}, "--count needs"},
        {{"scan", "--address", "1"}, "--address cannot be used with scan"},
        {{"scan", "now"}, "scan takes no arguments"},
        {{"demo", "--link", "/dev/null"}, "cannot be used with demo"},
    };
    for (const auto &c : cases) {
        CommandLine cl;
        std::string error;
        const std::string label = ::testing::PrintToString(c.args);
        EXPECT_FALSE(ParseCommandLine(c.args, cl, error)) << label;
        EXPECT_NE(error.find(c.message), std::string::npos)
            << label << ": '" << error << "' lacks '" << c.message << "'";
        EXPECT_EQ(error.find('\n'), std::string::npos) << label;
    }
}

TEST(ToolsTargets, TimeoutIsMergedIntoTheOptions) {
    const struct {
        const char *target;
        int ms;
        const char *want;
    } cases[] = {
        {"/dev/ttyUSB0", 50, "/dev/ttyUSB0?timeout_ms=50"},
        {"socket://h:1?baud=9600", 50, "socket://h:1?baud=9600&timeout_ms=50"},
        {"x?timeout_ms=10&baud=19200", 30, "x?baud=19200&timeout_ms=30"},
        {"x?baud=1&timeout_ms=10", 30, "x?baud=1&timeout_ms=30"},
        {"x?", 7, "x?timeout_ms=7"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(WithTimeout(c.target, c.ms), c.want) << c.target;
        // The time-out a no-reply message names is the one qor set.
        EXPECT_EQ(TimeoutOf(c.want), c.ms) << c.want;
    }
    EXPECT_EQ(TimeoutOf("/dev/ttyUSB0"), 200);
    EXPECT_EQ(TimeoutOf("x?timeout_ms=abc"), 200);
    EXPECT_EQ(TimeoutOf("x?recovery_ms=5&timeout_ms=75"), 75);
}

// Without --link the byte link's own rule picks the target (QOR_PortTarget),
// and the help names the same device; Windows numbers its ports from 1,
// POSIX systems from 0.
TEST(ToolsTargets, DefaultDeviceFollowsThePlatform) {
    char text[QOR_TARGET_TEXT_SIZE];
#ifdef _WIN32
    _putenv("QOR_COMM_PORT12=");
    const char *device = "COM12";
    const char *named = "else COM<N>;";
#else
    unsetenv("QOR_COMM_PORT12");
    const char *device = "/dev/ttyS11";
    const char *named = "else /dev/ttyS<N-1>;";
#endif
    ASSERT_EQ(QOR_PortTarget(12, text, static_cast<int>(sizeof text)), QOR_TARGET_DEVICE);
    EXPECT_STREQ(text, device);
    EXPECT_EQ(DescribeLink(12, text, QOR_TARGET_DEVICE),
              std::string("port 12 (") + device + ", default)");
    const std::string help = OverviewHelp();
    EXPECT_NE(help.find(named), std::string::npos) << help;
    EXPECT_NE(help.find("--debug         the same as --trace"), std::string::npos) << help;
    EXPECT_EQ(DescribeLink(3, "socket://h:1", QOR_TARGET_ENVIRONMENT),
              "port 3 (socket://h:1, default from QOR_COMM_PORT3)");
    EXPECT_EQ(DescribeLink(1, "/dev/pts/3\x1b", QOR_TARGET_OPENED), "port 1 (/dev/pts/3\\x1b)");
}

TEST(ToolsFormat, ValuesHaveTwoDecimals) {
    // Floats as the library returns them, parsed from the module's field.
    const struct {
        float value;
        const char *want;
    } cases[] = {
        {72.1f, "72.10"},        {-3.46f, "-3.46"},         {0.0f, "0.00"},
        {99999.99f, "99999.99"}, {-99999.99f, "-99999.99"}, {12345.67f, "12345.67"},
        {0.01f, "0.01"},         {-0.001f, "0.00"},         {100.0f, "100.00"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(FormatFixed2(c.value), c.want) << c.value;
    }
}

TEST(ToolsFormat, ResultsByKind) {
    Outcome o;
    o.value = 100.0f;
    o.mode = 1;
    o.count = 123;
    EXPECT_EQ(FormatResult(ResultKind::kValue, o), "100.00");
    EXPECT_EQ(FormatResult(ResultKind::kLimit, o), "100.00 latching");
    EXPECT_EQ(FormatResult(ResultKind::kCount, o), "123");
    EXPECT_EQ(FormatResult(ResultKind::kNone, o), "ok");
    o.mode = 0;
    EXPECT_EQ(FormatResult(ResultKind::kLimit, o), "100.00 momentary");
    o.mode = -1;
    EXPECT_EQ(FormatResult(ResultKind::kLimit, o), "100.00 none");
    o.count = 1;
    EXPECT_EQ(FormatResult(ResultKind::kBit, o), "1");
}

TEST(ToolsFormat, FailuresInWordsAndExitCodes) {
    const struct {
        int status, error;
        const char *text;
        int exit_code;
        bool answered;
    } cases[] = {
        {100, 1, "no reply (status 100, error 1): the module did not answer", 1, false},
        {100, 2, "module fault (status 100, error 2): the reply's checksum did not match", 1, true},
        {100, 66,
         "module fault (status 100, error 66 'B'): the module answered with an error reply", 1,
         true},
        {100, 0, "module fault (status 100, error 0): the module answered", 1, true},
        {100, -17, "module fault (status 100, error -17): the module answered", 1, true},
        {200, 1, "link fault (status 200, error 1): the frame could not be written to the link", 3,
         false},
        {200, 2, "bad reply field (status 200, error 2): not what the command reads", 3, true},
        {200, 3, "refused (status 200, error 3): the arguments cannot be put into a frame", 3,
         false},
    };
    for (const auto &c : cases) {
        const std::string text = DescribeFailure(c.status, c.error);
        EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
        EXPECT_EQ(ExitCodeFor(c.status), c.exit_code) << c.status;
        EXPECT_EQ(ModuleAnswered(c.status, c.error), c.answered) << c.status << "/" << c.error;
    }
    EXPECT_EQ(ExitCodeFor(0), 0);
    EXPECT_TRUE(ModuleAnswered(0, 0));
}

// A row whose call ends as scripted (the last outcome again once the script
// runs out), and counts its calls.
int g_calls = 0;
std::vector<Outcome> g_script;
void ScriptedCall(int, int, const Invocation &, Outcome &out) {
    const Outcome &next = g_script[std::min<std::size_t>(g_calls, g_script.size() - 1)];
    ++g_calls;
    out.status = next.status;
    out.error = next.error;
}

// Only a call no module answered is made again: no reply, or a frame that
// did not go out. An answer of any kind (an error reply, a bad checksum),
// a bad DI reply or refused arguments would come out the same, and a
// command whose repetition could do harm is never repeated.
TEST(ToolsRetries, OnlyCallsNoModuleAnsweredAreRepeated) {
    const struct {
        int status, error;
        int calls;  // with two retries
    } cases[] = {
        {QOR_STATUS_OK, 0, 1},
        {QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY, 3},
        {QOR_STATUS_REPLY_FAULT, QOR_ERROR_REPLY_CHECKSUM, 1},
        {QOR_STATUS_REPLY_FAULT, 'R', 1},
        {QOR_STATUS_LINK_FAULT, QOR_ERROR_NOT_WRITTEN, 3},
        {QOR_STATUS_LINK_FAULT, QOR_ERROR_DIGIT_COUNT, 1},
        {QOR_STATUS_LINK_FAULT, QOR_ERROR_ARGUMENTS_REFUSED, 1},
    };
    CommandRow safe{"xx", "QOR_XX", {}, ResultKind::kNone, true, nullptr, "", ScriptedCall};
    CommandRow hazard = safe;
    hazard.repeat_hazard = "it would do it twice";
    const LinkInUse link;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + "/" + std::to_string(c.error));
        g_script = {Outcome{}};
        g_script[0].status = c.status;
        g_script[0].error = c.error;
        Invocation invocation;
        invocation.row = &safe;
        for (int retries : {0, 2}) {
            g_calls = 0;
            const Outcome out = CallModule(invocation, link, '1', retries);
            const int calls = retries == 0 ? 1 : c.calls;
            EXPECT_EQ(g_calls, calls) << retries;
            EXPECT_EQ(out.attempts, calls) << retries;
            EXPECT_EQ(out.status, c.status);
            EXPECT_EQ(out.error, c.error);
        }
        invocation.row = &hazard;
        g_calls = 0;
        EXPECT_EQ(CallModule(invocation, link, '1', 2).attempts, 1);
        EXPECT_EQ(g_calls, 1);
    }
    // The first answer ends the tries.
    g_script.assign(3, Outcome{});
    g_script[0].status = QOR_STATUS_REPLY_FAULT;
    g_script[0].error = QOR_ERROR_NO_REPLY;
    g_calls = 0;
    Invocation invocation;
    invocation.row = &safe;
    const Outcome out = CallModule(invocation, link, '1', 5);
    EXPECT_EQ(out.status, QOR_STATUS_OK);
    EXPECT_EQ(out.attempts, 2);
    EXPECT_EQ(g_calls, 2);
}

TEST(ToolsFormat, IsoTimeAndCsvRows) {
    using namespace std::chrono;
    // Milliseconds since 1970 as `date -u` converts them: leap days, century
    // years that are (2000) and are not (1900, 2100) leap years, and times
    // before 1970, which the formatting must handle the same everywhere.
    const struct {
        long long ms;
        const char *want;
    } cases[] = {
        {1714566896789LL, "2024-05-01T12:34:56.789Z"},
        {0, "1970-01-01T00:00:00.000Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
        {-86400000LL, "1969-12-31T00:00:00.000Z"},
        {-86400001LL, "1969-12-30T23:59:59.999Z"},
        {951782400000LL, "2000-02-29T00:00:00.000Z"},
        {951868799999LL, "2000-02-29T23:59:59.999Z"},
        {1709164800000LL, "2024-02-29T00:00:00.000Z"},
        {-2203891200000LL, "1900-03-01T00:00:00.000Z"},
        {-2203891200001LL, "1900-02-28T23:59:59.999Z"},
        {4107542400000LL, "2100-03-01T00:00:00.000Z"},
        {4107542399999LL, "2100-02-28T23:59:59.999Z"},
        {-8515238400000LL, "1700-03-01T00:00:00.000Z"},
        {-8515238400001LL, "1700-02-28T23:59:59.999Z"},
        {7258118399999LL, "2199-12-31T23:59:59.999Z"},
        {1233, "1970-01-01T00:00:01.233Z"},
        {-1233, "1969-12-31T23:59:58.767Z"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(qor::text::IsoUtc(system_clock::time_point{milliseconds(c.ms)}), c.want) << c.ms;
    }

    Outcome ok;
    ok.value = 72.1f;
    ok.mode = 1;
    Outcome bad;
    bad.status = 100;
    bad.error = 1;
    EXPECT_EQ(CsvHeader(ResultKind::kValue), "time,value,status,error");
    EXPECT_EQ(CsvHeader(ResultKind::kLimit), "time,value,mode,status,error");
    EXPECT_EQ(CsvRow("T", ResultKind::kValue, ok), "T,72.10,0,0");
    EXPECT_EQ(CsvRow("T", ResultKind::kLimit, ok), "T,72.10,latching,0,0");
    EXPECT_EQ(CsvRow("T", ResultKind::kValue, bad), "T,,100,1");
    EXPECT_EQ(CsvRow("T", ResultKind::kLimit, bad), "T,,,100,1");
}

// Day after day over 500 years, more than a whole 400-year cycle of the
// calendar (and within the system clock's range, about 1678 to 2261): every
// date is the one after the date before, with the month lengths and leap
// years of the Gregorian calendar.
TEST(ToolsFormat, IsoDatesFollowTheCalendar) {
    using namespace std::chrono;
    const auto month_length = [](int year, int month) {
        static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        return month == 2 && leap ? 29 : kDays[month - 1];
    };
    int year = 1700;
    int month = 1;
    int day = 1;
    const long long first = -98615;  // 1700-01-01 in days from 1970-01-01
    for (long long d = first; d < first + 182621; ++d) {
        // Noon, so the time of day is fixed and only the date moves.
        const std::string text =
            qor::text::IsoUtc(system_clock::time_point{milliseconds(d * 86400000LL + 43200000LL)});
        char want[64];
        std::snprintf(want, sizeof want, "%04d-%02d-%02dT12:00:00.000Z", year, month, day);
        ASSERT_EQ(text, want) << "day " << d;
        if (++day > month_length(year, month)) {
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
    EXPECT_EQ(year, 2200);
}

// The table drives parsing, help and poll; a slip in one row would silently
// give a command the wrong export or an unusable argument list.
TEST(ToolsTable, OneWellFormedRowPerExport) {
    std::set<std::string> names;
    for (const CommandRow &c : CommandTable()) {
        std::string upper = c.name;
        for (char &ch : upper) {
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }
        EXPECT_EQ(std::string("QOR_") + upper, c.export_name);
        EXPECT_TRUE(names.insert(c.name).second) << c.name;
        EXPECT_NE(c.call, nullptr) << c.name;
        bool optional_seen = false;
        for (ArgKind k : c.args) {
            const bool optional = k == ArgKind::kMode || k == ArgKind::kOptByte;
            EXPECT_FALSE(optional_seen && !optional) << c.name << ": required after optional";
            optional_seen = optional_seen || optional;
        }
        EXPECT_FALSE(CommandHelp(c.name).empty()) << c.name;
        EXPECT_NE(OverviewHelp().find(c.export_name), std::string::npos) << c.name;
        EXPECT_EQ(FindCommand(c.name), &c);
    }
    EXPECT_EQ(names.size(), 24u);
    const std::set<std::string> queries = {"rd", "nd", "rz", "rh", "rl", "re", "di", "rb"};
    // What --retries must never repeat: a second run does something else.
    const std::set<std::string> unsafe = {"ec", "ca", "ce", "cz", "rr"};
    for (const CommandRow &c : CommandTable()) {
        EXPECT_EQ(c.query, queries.count(c.name) == 1) << c.name;
        EXPECT_EQ(c.repeat_hazard != nullptr, unsafe.count(c.name) == 1) << c.name;
    }
    for (const char *topic : {"scan", "poll", "ports", "demo"}) {
        EXPECT_FALSE(CommandHelp(topic).empty()) << topic;
    }
    EXPECT_TRUE(CommandHelp("xx").empty());
    EXPECT_EQ(VersionText(), std::string("qor ") + QOR_VERSION);
}

// The full failure texts name the cause: link, address and time-out for
// no reply, the module's own words for an error reply, the byte link's
// reason for a link fault; whatever came from outside is escaped.
TEST(ToolsFormat, FailuresNameTheirCause) {
    const std::string link = "port 1 (/dev/ttyS0, default)";
    const auto make = [&](int status, int error, std::string reply, std::string port_error) {
        Failure f;
        f.status = status;
        f.error = error;
        f.address = '7';
        f.link = link;
        f.timeout_ms = 50;
        f.reply = std::move(reply);
        f.port_error = std::move(port_error);
        f.di_count = 2;
        return f;
    };
    Failure retried = make(QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY, "", "");
    retried.attempts = 3;
    Failure no_number = make(QOR_STATUS_LINK_FAULT, QOR_ERROR_REPLY_FIELD, "*", "");
    no_number.di_count = 0;  // not DI: a reading
    Failure refused = make(QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY, "*+00072.10", "");
    refused.refused = "reply refused: more input came right behind it";
    Failure refused_unread = make(QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY, "", "");
    refused_unread.refused = "reply refused: more input came within the 20 ms guard\x1b";
    refused_unread.attempts = 2;
    const struct {
        Failure failure;
        const char *text;
    } cases[] = {
        {make(100, 1, "", ""),
         "no reply (status 100, error 1): module 7 did not answer on port 1 (/dev/ttyS0, "
         "default) within 50 ms"},
        {retried,
         "no reply (status 100, error 1): module 7 did not answer on port 1 (/dev/ttyS0, "
         "default) within 50 ms (3 tries)"},
        {refused,
         "reply refused (status 100, error 1): the link did not take the reply \"*+00072.10\" to "
         "module 7 on port 1 (/dev/ttyS0, default) as this frame's: more input came right behind "
         "it"},
        {refused_unread,
         "reply refused (status 100, error 1): the link did not take the reply to module 7 on port "
         "1 (/dev/ttyS0, default) as this frame's: more input came within the 20 ms guard\\x1b "
         "(2 tries)"},
        {make(100, 1, "*+0007", ""),
         "no complete reply (status 100, error 1): module 7 on port 1 (/dev/ttyS0, default) sent "
         "\"*+0007\", cut off or longer than 50 characters (time-out 50 ms)"},
        {make(100, 'R', "?7 RANGE", ""),
         "module fault (status 100, error 82 'R'): module 7 answered \"?7 RANGE\""},
        {make(100, 'B', "?7 B\x1b[2J\r", ""),
         "module fault (status 100, error 66 'B'): module 7 answered \"?7 B\\x1b[2J\\r\""},
        {make(100, -23, "", ""),
         "module fault (status 100, error -23): module 7 answered with an error reply"},
        {make(100, 2, "*+00072.10AB", ""),
         "module fault (status 100, error 2): the checksum of module 7's reply "
         "\"*+00072.10AB\" did not match"},
        {make(200, 1, "", "cannot open /dev/ttyS0: no such device"),
         "link fault (status 200, error 1) on port 1 (/dev/ttyS0, default): cannot open "
         "/dev/ttyS0: no such device"},
        {make(200, 1, "", ""),
         "link fault (status 200, error 1) on port 1 (/dev/ttyS0, default): the frame could not "
         "be written to the link"},
        {make(200, 2, "*0FA503", ""),
         "bad DI reply (status 200, error 2): module 7 answered \"*0FA503\", not the 4 hex "
         "digits asked for (2 bytes)"},
        {no_number,
         "no number (status 200, error 2): module 7 answered \"*\", which holds no digit"},
        {make(200, 3, "", ""),
         "refused (status 200, error 3): the arguments cannot be put into a frame, nothing was "
         "sent"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DescribeFailure(c.failure), c.text);
    }
}

TEST(ToolsFormat, EscapedForTheTerminal) {
    const struct {
        std::string raw;
        const char *shown;
    } cases[] = {
        {"*+00072.10", "*+00072.10"},
        {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"},
        {"a\rb\nc\td", "a\\rb\\nc\\td"},
        {"back\\slash", "back\\\\slash"},
        {std::string("nul\0", 4), "nul\\x00"},
        {"\x7f\x80\xff", "\\x7f\\x80\\xff"},
        {"", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Escape(c.raw), c.shown) << c.shown;
    }
}

// --trace's lines: time since the first event, port, a mark, the bytes
// escaped and without the CR that ends a frame or reply.
TEST(ToolsFormat, TraceLines) {
    const auto view = [](int kind, std::string_view bytes, int ms, std::string_view text,
                         bool seen) {
        TraceEventView v;
        v.elapsed_ns = 12031400;
        v.port = 1;
        v.kind = kind;
        v.bytes = bytes;
        v.milliseconds = ms;
        v.text = text;
        v.reply_seen = seen;
        return v;
    };
    const struct {
        TraceEventView event;
        const char *line;
    } cases[] = {
        {view(QOR_TRACE_WRITE, "$1RD\r", 0, "", false), "+12.031 ms  port 1  >  $1RD"},
        {view(QOR_TRACE_READ, "*+00072.10\r", 0, "", false), "+12.031 ms  port 1  <  *+00072.10"},
        {view(QOR_TRACE_READ, "\x1b[2J*+0", 0, "", false), "+12.031 ms  port 1  <  \\x1b[2J*+0"},
        {view(QOR_TRACE_TIMEOUT, "", 200, "", false), "+12.031 ms  port 1  !  no reply in 200 ms"},
        {view(QOR_TRACE_TIMEOUT, "", 200, "", true),
         "+12.031 ms  port 1  !  nothing more in 200 ms"},
        {view(QOR_TRACE_DISCARD, "*1\r", 0, "", false),
         "+12.031 ms  port 1  ~  discarded 3 bytes: *1\\r"},
        {view(QOR_TRACE_RECOVERY, "", 200, "", false),
         "+12.031 ms  port 1  =  waited 200 ms for a quiet line"},
        {view(QOR_TRACE_OPEN, "", 0, "/dev/pts/3", false),
         "+12.031 ms  port 1  +  opened /dev/pts/3"},
        {view(QOR_TRACE_REOPEN, "", 0, "socket://h:1", false),
         "+12.031 ms  port 1  +  reopened socket://h:1"},
        {view(QOR_TRACE_OPEN_FAILED, "", 0, "cannot open x", false),
         "+12.031 ms  port 1  !  open failed: cannot open x"},
        {view(QOR_TRACE_CLOSE, "", 0, "", false), "+12.031 ms  port 1  -  closed"},
        {view(QOR_TRACE_LINK_LOST, "", 0, "gone", false), "+12.031 ms  port 1  !  link lost: gone"},
        {view(QOR_TRACE_REFUSED, "", 0, "reply refused: more input came right behind it", false),
         "+12.031 ms  port 1  !  reply refused: more input came right behind it"},
        {view(QOR_TRACE_QUIET_PERIOD, "", 400, "raised: a reply was refused", false),
         "+12.031 ms  port 1  =  quiet period 400 ms, raised: a reply was refused"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(TraceLine(c.event), c.line);
    }
}

TEST(ToolsFormat, PollCells) {
    Outcome ok;
    ok.value = 72.1f;
    ok.mode = 0;
    Outcome bad;
    bad.status = QOR_STATUS_LINK_FAULT;
    bad.error = QOR_ERROR_NOT_WRITTEN;
    EXPECT_EQ(CsvCellHeader("1:rd", ResultKind::kValue), "1:rd,1:rd:status,1:rd:error");
    EXPECT_EQ(CsvCellHeader("p2:A:rl", ResultKind::kLimit),
              "p2:A:rl,p2:A:rl:mode,p2:A:rl:status,p2:A:rl:error");
    // Addresses ',' and '"' would break the columns unquoted.
    EXPECT_EQ(CsvCellHeader(",:rd", ResultKind::kValue), "\",:rd\",\",:rd:status\",\",:rd:error\"");
    EXPECT_EQ(CsvCellHeader("\":re", ResultKind::kCount),
              "\"\"\":re\",\"\"\":re:status\",\"\"\":re:error\"");
    EXPECT_EQ(CsvCell(ResultKind::kValue, ok), "72.10,0,0");
    EXPECT_EQ(CsvCell(ResultKind::kLimit, ok), "72.10,momentary,0,0");
    EXPECT_EQ(CsvCell(ResultKind::kValue, bad), ",200,1");
    EXPECT_EQ(CsvCell(ResultKind::kLimit, bad), ",,200,1");
}

}  // namespace
