// The [modbus] section and the register map made from it: a configuration
// with every kind of entry prints the map its manual page describes, and
// mistakes are refused with their line.
#include "gateway/modbus/modbus_map.h"

#include <gtest/gtest.h>

#include <string>

#include "gateway/core/config.h"

namespace qor::gateway {
namespace {

const char kPlant[] = R"([broker]
host = "127.0.0.1"

[[link]]
name = "bus1"
target = "socket://127.0.0.1:4001"
[[link.module]]
address = "1"
name = "boiler"
poll = { rd = 1000, re = 1000, b3 = { query = "rb", interval_ms = 500, bit = 3 }, door = { query = "di", interval_ms = 500, bit = 1 } }
writable = ["hi", "sp", "do", "sb", "cb", "rr"]
[[link.module]]
address = "2"
name = "pump"
poll = { rd = 1000, rl = 1000, b5 = { query = "rb", interval_ms = 500, bit = 5 } }

[[link]]
name = "bus2"
target = "socket://127.0.0.1:4002"
[[link.module]]
address = "1"
name = "tank"
poll = { rd = 1000 }

[modbus]
listen = "0.0.0.0:1502"
word_order = "CDAB"
writes = true
allow = ["10.0.0.0/8", "192.168.1.7"]
[modbus.scaled]
"bus1/pump/rd" = { scale = 10 }
"bus1/pump/rl" = { scale = 100, signed = false }
"bus1/boiler/sp" = { scale = 10 }
)";

const char kPlantMap[] =
    "unit  table             address  number  format          rw   name\n"
    "1     coil                    0  000001  bit             rw   bus1/boiler/b3\n"
    "1     discrete input          0  100001  bit             r    bus1/boiler/door\n"
    "1     discrete input        100  100101  bit             r    bus1/pump/b5\n"
    "1     holding register        0  400001  float32 CDAB    rw   bus1/boiler/hi\n"
    "1     holding register        2  400003  int16 x10       rw   bus1/boiler/sp\n"
    "1     holding register        3  400004  uint16          rw   bus1/boiler/do\n"
    "1     input register          0  300001  uint16          r    bus1/boiler/availability\n"
    "1     input register          1  300002  uint16          r    bus1/boiler/status\n"
    "1     input register          2  300003  uint16          r    bus1/boiler/error\n"
    "1     input register          3  300004  uint16          r    bus1/boiler/age_s\n"
    "1     input register          4  300005  float32 CDAB    r    bus1/boiler/rd\n"
    "1     input register          6  300007  uint32 CDAB     r    bus1/boiler/re\n"
    "1     input register        100  300101  uint16          r    bus1/pump/availability\n"
    "1     input register        101  300102  uint16          r    bus1/pump/status\n"
    "1     input register        102  300103  uint16          r    bus1/pump/error\n"
    "1     input register        103  300104  uint16          r    bus1/pump/age_s\n"
    "1     input register        104  300105  int16 x10       r    bus1/pump/rd\n"
    "1     input register        105  300106  uint16 x100     r    bus1/pump/rl\n"
    "2     input register          0  300001  uint16          r    bus2/tank/availability\n"
    "2     input register          1  300002  uint16          r    bus2/tank/status\n"
    "2     input register          2  300003  uint16          r    bus2/tank/error\n"
    "2     input register          3  300004  uint16          r    bus2/tank/age_s\n"
    "2     input register          4  300005  float32 CDAB    r    bus2/tank/rd\n";

Config Parse(const std::string &text) {
    ConfigResult r = ParseConfig(text, "plant.toml", "/etc/qor");
    EXPECT_TRUE(r.config) << r.error;
    return r.config ? *r.config : Config{};
}

std::string Replaced(std::string text, const std::string &from, const std::string &to) {
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(GatewayModbus, OffWithoutTheSectionAndDefaultsWithIt) {
    std::string without = kPlant;
    without = without.substr(0, without.find("[modbus]"));
    EXPECT_FALSE(Parse(without).modbus.enabled);
    Config c = Parse(without + "[modbus]\n");
    EXPECT_TRUE(c.modbus.enabled);
    EXPECT_EQ(c.modbus.host, "127.0.0.1");
    EXPECT_EQ(c.modbus.port, 502);
    EXPECT_FALSE(c.modbus.writes);
    EXPECT_TRUE(c.modbus.Allowed(0x7F000001));   // 127.0.0.1
    EXPECT_FALSE(c.modbus.Allowed(0x0A000001));  // 10.0.0.1: only loopback by default
    EXPECT_FALSE(Parse(without + "[modbus]\nenabled = false\n").modbus.enabled);
}

TEST(GatewayModbus, AllowsTheListedNetworksOnly) {
    Config c = Parse(kPlant);
    EXPECT_EQ(c.modbus.host, "0.0.0.0");
    EXPECT_EQ(c.modbus.port, 1502);
    EXPECT_TRUE(c.modbus.Allowed(0x0A010203));   // 10.1.2.3
    EXPECT_TRUE(c.modbus.Allowed(0xC0A80107));   // 192.168.1.7
    EXPECT_FALSE(c.modbus.Allowed(0xC0A80108));  // 192.168.1.8
    EXPECT_FALSE(c.modbus.Allowed(0x7F000001));  // loopback is not listed
    Network n;
    EXPECT_TRUE(ParseNetwork("0.0.0.0/0", &n));
    EXPECT_TRUE(n.Contains(0xFFFFFFFF));
    for (const char *bad : {"10.0.0.0/33", "10.0.0/8", "10.0.0.0/", "host", "10.0.0.0/8x"}) {
        EXPECT_FALSE(ParseNetwork(bad, &n)) << bad;
    }
}

TEST(GatewayModbus, PrintsTheMapOfEveryKindOfEntry) {
    Config c = Parse(kPlant);
    std::string error;
    ModbusMap map = ModbusMap::Build(c, &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(MapTable(c, map), kPlantMap);
    std::string csv = MapCsv(c, map);
    EXPECT_EQ(csv.substr(0, csv.find('\n')),
              "unit,table,address,number,registers,format,access,name");
    EXPECT_NE(csv.find("\n1,input register,4,300005,2,float32 CDAB,r,bus1/boiler/rd\n"),
              std::string::npos);
    EXPECT_NE(csv.find("\n1,coil,0,000001,1,bit,rw,bus1/boiler/b3\n"), std::string::npos);
    ASSERT_NE(map.Find(1, RegisterTable::kInputRegister, 5), nullptr);  // a float's second half
    EXPECT_EQ(map.Find(1, RegisterTable::kInputRegister, 5)->name, "bus1/boiler/rd");
    EXPECT_EQ(map.Find(1, RegisterTable::kInputRegister, 8), nullptr);
    EXPECT_FALSE(map.HasUnit(3));
}

TEST(GatewayModbus, OneUnitForTheGatewayNumbersBlocksAcrossLinks) {
    Config c =
        Parse(Replaced(kPlant, "writes = true", "units = \"gateway\"\nunit_id = 7\nblock = 20"));
    std::string error;
    ModbusMap map = ModbusMap::Build(c, &error);
    const MapEntry *tank = map.Find(7, RegisterTable::kInputRegister, 44);
    ASSERT_NE(tank, nullptr);
    EXPECT_EQ(tank->name, "bus2/tank/rd");
    EXPECT_FALSE(map.HasUnit(1));
    // Without writes, nothing is shown writable.
    EXPECT_EQ(MapTable(c, map).find(" rw   bus"), std::string::npos);
}

TEST(GatewayModbus, RefusesMistakesWithTheirLine) {
    struct Case {
        const char *what;
        const char *from;
        const char *to;
        const char *error;
    };
    const Case cases[] = {
        {"listen without port", "\"0.0.0.0:1502\"", "\"0.0.0.0\"", "26: \"listen\" must be"},
        {"listen port", "\"0.0.0.0:1502\"", "\"0.0.0.0:70000\"", "26: \"listen\" must be"},
        {"listen host name", "\"0.0.0.0:1502\"", "\"plc:1502\"", "26: \"listen\" must be"},
        {"word order", "\"CDAB\"", "\"BADC\"", "27: \"word_order\" must be \"ABCD\" or \"CDAB\""},
        {"writes type", "writes = true", "writes = 1", "28: \"writes\" must be true or false"},
        {"network", "\"192.168.1.7\"", "\"192.168.1.700\"", "29: \"allow\" holds"},
        {"unknown key", "writes = true", "write = true", "28: unknown key \"write\" in [modbus]"},
        {"unit id per link", "writes = true", "unit_id = 3", "28: \"unit_id\" is for units"},
        {"scaled unknown poll", "bus1/pump/rl", "bus1/pump/rz", "32: \"bus1/pump/rz\" is no"},
        {"scaled unwritable", "bus1/boiler/sp", "bus1/boiler/lo", "33: \"bus1/boiler/lo\" is no"},
        {"scale zero", "scale = 10 }\n\"bus1/pump/rl\"", "scale = 0 }\n\"bus1/pump/rl\"",
         "31: \"bus1/pump/rd\" needs \"scale\""},
        {"block overflow", "writes = true", "block = 10\nwrites = true",
         "25: module \"tank\" of link \"bus2\" needs more than 10"},
        {"block beyond 65535", "writes = true", "block = 10000\nunits = \"gateway\"",
         "module \"m5\" of link \"bus2\" lies beyond address 65535"},
    };
    for (const Case &c : cases) {
        std::string text = Replaced(kPlant, c.from, c.to);
        if (std::string(c.what) == "block overflow") {
            text = Replaced(text, "poll = { rd = 1000 }",
                            "poll = { rd = 1000, rz = 1, nd = 1, rh = 1, rl = 1 }");
        }
        if (std::string(c.what) == "block beyond 65535") {
            std::string more;
            for (char a = '2'; a <= '7'; ++a) {
                more += std::string("[[link.module]]\naddress = \"") + a + "\"\nname = \"m" + a +
                        "\"\n";
            }
            text = Replaced(text, "\n[modbus]", more + "\n[modbus]");
        }
        ConfigResult r = ParseConfig(text, "plant.toml", "/etc/qor");
        EXPECT_FALSE(r.config) << c.what;
        EXPECT_NE(r.error.find(c.error), std::string::npos) << c.what << ": " << r.error;
    }
}

}  // namespace
}  // namespace qor::gateway
