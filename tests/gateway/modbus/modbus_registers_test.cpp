// What the Modbus registers read and what writes to them mean, at exact
// times and bytes: when a reading is too old to serve, which word of a
// 32-bit value comes first either way round, the checks a write passes
// before anything runs, and the exception each command result answers as.
#include "gateway/modbus/modbus_registers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Unit 1: boiler (rd float at input 4, re uint32 at 6; hi float at holding
// 0, sp in tenths at 2); block 1, pump: rd in signed tenths at input 104.
const char kPlant[] = R"([broker]
host = "127.0.0.1"
[[link]]
name = "bus"
target = "socket://127.0.0.1:4001"
[[link.module]]
address = "1"
name = "boiler"
poll = { rd = 1000, re = 1000 }
writable = ["hi", "sp", "sb", "cb"]
[[link.module]]
address = "2"
name = "pump"
poll = { rd = 1000 }
[modbus]
writes = true
max_age_s = 10
word_order = "ORDER"
[modbus.scaled]
"bus/pump/rd" = { scale = 10 }
"bus/boiler/sp" = { scale = 10 }
)";

class GatewayModbusRegisters : public ::testing::Test {
  protected:
    void Load(const char *order) {
        std::string text = kPlant;
        text.replace(text.find("ORDER"), 5, order);
        ConfigResult r = ParseConfig(text, "plant.toml", "/etc/qor");
        ASSERT_TRUE(r.config) << r.error;
        config_ = *r.config;
        std::string error;
        map_ = ModbusMap::Build(config_, &error);
        ASSERT_EQ(error, "");
    }
    const MapEntry &Entry(RegisterTable table, int address) const {
        const MapEntry *e = map_.Find(1, table, address);
        EXPECT_NE(e, nullptr) << address;
        return *e;
    }
    // A module online whose polls last read these values, `age` ago.
    static ModuleView Module(std::vector<double> values, Clock::duration age,
                             Clock::time_point now) {
        ModuleView m;
        m.availability = Availability::kOnline;
        for (double v : values) {
            QueryView q;
            q.good = TimedValue{v, {}, now - age};
            m.queries.push_back(q);
        }
        return m;
    }
    std::vector<unsigned short> Read(const MapEntry &e, const ModuleView &m, Clock::time_point now,
                                     int *code) const {
        std::vector<unsigned short> words(2, 0xAAAA);
        *code = EntryWords(config_, e, m, now, words.data());
        return words;
    }

    Config config_;
    ModbusMap map_;
};

TEST_F(GatewayModbusRegisters, AReadingIsServedUpToMaxAgeAndNotASecondLonger) {
    Load("ABCD");
    const Clock::time_point now = Clock::now();
    struct Case {
        const char *what;
        Clock::duration age;
        Availability availability;
        int code;
    };
    const Case cases[] = {
        {"fresh", 0s, Availability::kOnline, kOk},
        {"a second short of max_age_s", 9s, Availability::kOnline, kOk},
        {"max_age_s old", 10s, Availability::kOnline, kOk},
        {"a second older", 11s, Availability::kOnline, kNoAnswer},
        {"fresh, from a module not yet known", 0s, Availability::kUnknown, kOk},
        {"fresh, from a module offline", 0s, Availability::kOffline, kNoAnswer},
    };
    for (const Case &c : cases) {
        ModuleView m = Module({72.5, 7}, c.age, now);
        m.availability = c.availability;
        int code = -1;
        std::vector<unsigned short> words =
            Read(Entry(RegisterTable::kInputRegister, 4), m, now, &code);
        EXPECT_EQ(code, c.code) << c.what;
        if (c.code == kOk) {
            EXPECT_EQ(words, (std::vector<unsigned short>{0x4291, 0x0000})) << c.what;  // 72.5
        }
    }
    // A module never read has no value; its marker is a NaN either way round.
    int code = -1;
    Read(Entry(RegisterTable::kInputRegister, 4), ModuleView{}, now, &code);
    EXPECT_EQ(code, kNoAnswer);
    unsigned short marker[2] = {1, 1};
    Marker(Entry(RegisterTable::kInputRegister, 4), marker);
    EXPECT_EQ(marker[0], 0x7FC0);
    EXPECT_EQ(marker[1], 0);
}

TEST_F(GatewayModbusRegisters, ThirtyTwoBitValuesReadInTheConfiguredWordOrder) {
    struct Case {
        const char *order;
        int address;
        double value;
        std::vector<unsigned short> words;
    };
    const Case cases[] = {
        {"ABCD", 4, 90.5, {0x42B5, 0x0000}},      {"CDAB", 4, 90.5, {0x0000, 0x42B5}},
        {"ABCD", 4, -1.5, {0xBFC0, 0x0000}},      {"CDAB", 4, -1.5, {0x0000, 0xBFC0}},
        {"ABCD", 6, 305419896, {0x1234, 0x5678}}, {"CDAB", 6, 305419896, {0x5678, 0x1234}},
    };
    const Clock::time_point now = Clock::now();
    for (const Case &c : cases) {
        Load(c.order);
        ModuleView m = Module({c.value, c.value}, 0s, now);
        int code = -1;
        EXPECT_EQ(Read(Entry(RegisterTable::kInputRegister, c.address), m, now, &code), c.words)
            << c.order << " " << c.value;
        EXPECT_EQ(code, kOk);
    }
}

TEST_F(GatewayModbusRegisters, ScaledRegistersHoldRoundedTenthsOrTheException) {
    Load("ABCD");
    const Clock::time_point now = Clock::now();
    const MapEntry *pump = map_.Find(1, RegisterTable::kInputRegister, 104);
    ASSERT_NE(pump, nullptr);
    struct Case {
        double value;
        int code;
        unsigned short word;
    };
    const Case cases[] = {{72.14, kOk, 721},           {-10.0, kOk, 0xFF9C},
                          {3276.7, kOk, 32767},        {-3276.8, kOk, 0x8000},
                          {3276.8, kDeviceFailure, 0}, {-3276.9, kDeviceFailure, 0}};
    for (const Case &c : cases) {
        ModuleView m = Module({c.value}, 0s, now);
        int code = -1;
        std::vector<unsigned short> words = Read(*pump, m, now, &code);
        EXPECT_EQ(code, c.code) << c.value;
        if (c.code == kOk) {
            EXPECT_EQ(words[0], c.word) << c.value;
        }
    }
}

// The bytes of a write to holding registers `address` on: function 16.
std::vector<unsigned char> WritePdu(int address, const std::vector<unsigned short> &words) {
    std::vector<unsigned char> pdu = {0x10,
                                      0,
                                      static_cast<unsigned char>(address),
                                      0,
                                      static_cast<unsigned char>(words.size()),
                                      static_cast<unsigned char>(2 * words.size())};
    for (unsigned short w : words) {
        pdu.push_back(static_cast<unsigned char>(w >> 8));
        pdu.push_back(static_cast<unsigned char>(w & 0xFF));
    }
    return pdu;
}

TEST_F(GatewayModbusRegisters, WritesTakeWholeEntriesInTheConfiguredWordOrder) {
    struct Case {
        const char *what;
        const char *order;
        int address;
        std::vector<unsigned short> words;
        int code;
        std::vector<double> values;
    };
    const Case cases[] = {
        {"a float, ABCD", "ABCD", 0, {0x42B5, 0x0000}, kOk, {90.5}},
        {"a float, CDAB", "CDAB", 0, {0x0000, 0x42B5}, kOk, {90.5}},
        {"a float and tenths", "ABCD", 0, {0xC2C8, 0x0000, 0xFF9C}, kOk, {-100.0, -10.0}},
        {"half a float", "ABCD", 1, {0x0000}, kIllegalAddress, {}},
        {"from the middle of a float", "ABCD", 1, {0x0000, 0xFF9C}, kIllegalAddress, {}},
        {"a float cut short", "ABCD", 0, {0x42B5}, kIllegalAddress, {}},
        {"beyond the value field", "ABCD", 0, {0x4974, 0x2400}, kIllegalValue, {}},  // 1e6
        {"not a number", "ABCD", 0, {0x7FC0, 0x0000}, kIllegalValue, {}},
        {"unmapped", "ABCD", 50, {0, 0}, kIllegalAddress, {}},
    };
    for (const Case &c : cases) {
        Load(c.order);
        std::vector<unsigned char> pdu = WritePdu(c.address, c.words);
        WriteRequest w = ParseWrite(1, pdu.data());
        ASSERT_EQ(w.code, kOk) << c.what;
        std::vector<PlannedWrite> planned;
        EXPECT_EQ(PlanWrite(map_, config_.modbus, w, &planned), c.code) << c.what;
        if (c.code != kOk) {
            continue;
        }
        ASSERT_EQ(planned.size(), c.values.size()) << c.what;
        for (std::size_t i = 0; i < planned.size(); ++i) {
            EXPECT_FLOAT_EQ(static_cast<float>(planned[i].value), static_cast<float>(c.values[i]))
                << c.what;
        }
    }
}

TEST_F(GatewayModbusRegisters, WriteCountsAndCoilValuesOutOfRangeAreRefused) {
    Load("ABCD");
    struct Case {
        const char *what;
        std::vector<unsigned char> pdu;
        int code;
    };
    const Case cases[] = {
        {"a coil on", {0x05, 0, 0, 0xFF, 0x00}, kOk},
        {"a coil off", {0x05, 0, 0, 0x00, 0x00}, kOk},
        {"a coil 0x1234", {0x05, 0, 0, 0x12, 0x34}, kIllegalValue},
        {"no registers", {0x10, 0, 0, 0, 0, 0}, kIllegalValue},
        {"124 registers", {0x10, 0, 0, 0, 124, 248}, kIllegalValue},
        {"a byte count that disagrees", {0x10, 0, 0, 0, 2, 2, 0, 0}, kIllegalValue},
        {"1969 coils", {0x0F, 0, 0, 0x07, 0xB1, 247}, kIllegalValue},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ParseWrite(1, c.pdu.data()).code, c.code) << c.what;
    }
}

TEST(GatewayModbusResults, EachCommandResultAnswersItsException) {
    struct Case {
        const char *what;
        bool ran;
        Refusal refusal;
        int status;
        int error;
        int code;
    };
    const Case cases[] = {
        {"ran", true, Refusal::kNone, 0, 0, kOk},
        {"no such command", false, Refusal::kTarget, 0, 0, kIllegalAddress},
        {"a value it cannot take", false, Refusal::kArguments, 0, 0, kIllegalValue},
        {"the queue full", false, Refusal::kBusy, 0, 0, kBusy},
        {"the gateway stopping", false, Refusal::kClosed, 0, 0, kBusy},
        {"the module refuses the range", true, Refusal::kNone, 100, 'R', kIllegalValue},
        {"another error reply", true, Refusal::kNone, 100, 'N', kDeviceFailure},
        {"no reply", true, Refusal::kNone, 100, 1, kNoAnswer},
        {"the link down", true, Refusal::kNone, 300, 2, kNoAnswer},
    };
    for (const Case &c : cases) {
        CommandResult r;
        r.ran = c.ran;
        r.refusal = c.refusal;
        r.status = c.status;
        r.error = c.error;
        EXPECT_EQ(ExceptionFor(r), c.code) << c.what;
    }
}

}  // namespace
}  // namespace qor::gateway
