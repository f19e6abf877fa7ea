#include "gateway/modbus/modbus_map.h"

#include <algorithm>
#include <cstdio>

namespace qor::gateway {

namespace {

bool IsValueQuery(Query q) {
    return q != Query::kRb && q != Query::kDi;
}

bool TakesValue(CommandKind k) {
    return k == CommandKind::kHi || k == CommandKind::kLo || k == CommandKind::kSp ||
           k == CommandKind::kTs || k == CommandKind::kTz || k == CommandKind::kAo;
}

const ScaledEntry *ScaledFor(const ModbusSpec &spec, const std::string &link,
                             const std::string &module, const std::string &name) {
    for (const ScaledEntry &s : spec.scaled) {
        if (s.link == link && s.module == module && s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

// Fills in the encoding of a value: scaled to one register, or 32 bits.
void Encode(MapEntry *e, const ScaledEntry *scaled, Encoding wide) {
    if (scaled != nullptr) {
        e->encoding = scaled->is_signed ? Encoding::kInt16 : Encoding::kUint16;
        e->scale = scaled->scale;
        e->width = 1;
    } else {
        e->encoding = wide;
        e->width = 2;
    }
}

struct BlockBuilder {
    const Config &config;
    std::vector<MapEntry> &out;
    MapEntry base;  // unit, link, module
    int start = 0;  // of the block
    int next[4] = {0, 0, 0, 0};

    void Add(MapEntry e, RegisterTable table) {
        e.table = table;
        int &at = next[static_cast<int>(table)];
        e.address = start + at;
        at += e.width;
        out.push_back(std::move(e));
    }
    bool Fits() const {
        return std::all_of(std::begin(next), std::end(next),
                           [&](int n) { return n <= config.modbus.block; });
    }
};

// The status registers at the start of every block.
constexpr std::pair<Source, const char *> kStatus[] = {{Source::kAvailability, "availability"},
                                                       {Source::kLastStatus, "status"},
                                                       {Source::kLastError, "error"},
                                                       {Source::kAge, "age_s"}};

// The first digit of the conventional numbers, by RegisterTable.
constexpr int kNumberPrefix[] = {0, 100000, 400000, 300000};

void AddStatus(BlockBuilder &b, const std::string &prefix) {
    for (const auto &[source, name] : kStatus) {
        MapEntry e = b.base;
        e.source = source;
        e.name = prefix + name;
        b.Add(e, RegisterTable::kInputRegister);
    }
}

void AddModule(BlockBuilder &b, const LinkSpec &link, const ModuleSpec &m) {
    const ModbusSpec &spec = b.config.modbus;
    std::string prefix = link.name + "/" + m.name + "/";
    AddStatus(b, prefix);
    bool bit_writes = m.Writable(CommandKind::kSb) && m.Writable(CommandKind::kCb);
    for (std::size_t i = 0; i < m.polls.size(); ++i) {
        const PollSpec &p = m.polls[i];
        MapEntry e = b.base;
        e.source = Source::kPoll;
        e.poll = i;
        e.name = prefix + p.name;
        if (IsValueQuery(p.query)) {
            Encode(&e, ScaledFor(spec, link.name, m.name, p.name),
                   p.query == Query::kRe ? Encoding::kUint32 : Encoding::kFloat32);
            b.Add(e, RegisterTable::kInputRegister);
        } else if (p.query == Query::kRb && bit_writes) {
            e.encoding = Encoding::kBit;
            e.bit = p.bit;
            b.Add(e, RegisterTable::kCoil);
        } else {
            e.encoding = Encoding::kBit;
            b.Add(e, RegisterTable::kDiscreteInput);
        }
    }
    for (CommandKind kind : m.writable) {
        if (!TakesValue(kind) && kind != CommandKind::kDo) {
            continue;
        }
        MapEntry e = b.base;
        e.source = Source::kCommand;
        e.command = kind;
        e.name = prefix + CommandName(kind);
        if (kind == CommandKind::kDo) {
            e.encoding = Encoding::kUint16;
        } else {
            Encode(&e, ScaledFor(spec, link.name, m.name, CommandName(kind)), Encoding::kFloat32);
        }
        b.Add(e, RegisterTable::kHoldingRegister);
    }
}

const char *TableName(RegisterTable t) {
    switch (t) {
        case RegisterTable::kCoil:
            return "coil";
        case RegisterTable::kDiscreteInput:
            return "discrete input";
        case RegisterTable::kHoldingRegister:
            return "holding register";
        case RegisterTable::kInputRegister:
            break;
    }
    return "input register";
}

// The conventional six-digit number: 0xxxxx coils, 1xxxxx discrete
// inputs, 3xxxxx input registers, 4xxxxx holding registers, from 1.
int ConventionalNumber(const MapEntry &e) {
    return kNumberPrefix[static_cast<int>(e.table)] + e.address + 1;
}

std::string Format(const Config &config, const MapEntry &e) {
    const char *order = config.modbus.word_order == WordOrder::kAbcd ? "ABCD" : "CDAB";
    char text[64];
    switch (e.encoding) {
        case Encoding::kBit:
            return "bit";
        case Encoding::kFloat32:
            return std::string("float32 ") + order;
        case Encoding::kUint32:
            return std::string("uint32 ") + order;
        case Encoding::kInt16:
        case Encoding::kUint16:
            if (e.source != Source::kPoll && e.source != Source::kCommand) {
                return "uint16";
            }
            if (e.command == CommandKind::kDo && e.source == Source::kCommand) {
                return "uint16";
            }
            std::snprintf(text, sizeof text, "%s x%g",
                          e.encoding == Encoding::kInt16 ? "int16" : "uint16", e.scale);
            return text;
    }
    return "";
}

std::string Access(const Config &config, const MapEntry &e) {
    bool writable = e.table == RegisterTable::kCoil || e.table == RegisterTable::kHoldingRegister;
    return writable && config.modbus.writes ? "rw" : "r";
}

}  // namespace

ModbusMap ModbusMap::Build(const Config &config, std::string *error) {
    ModbusMap map;
    int gateway_block = 0;
    for (std::size_t li = 0; li < config.links.size(); ++li) {
        const LinkSpec &link = config.links[li];
        for (std::size_t mi = 0; mi < link.modules.size(); ++mi) {
            bool per_link = config.modbus.units == UnitScheme::kPerLink;
            BlockBuilder b{config, map.entries_, {}, 0, {0, 0, 0, 0}};
            b.base.unit = per_link ? static_cast<int>(li) + 1 : config.modbus.unit_id;
            b.base.link = li;
            b.base.module = mi;
            long long start =
                static_cast<long long>(per_link ? static_cast<int>(mi) : gateway_block++) *
                config.modbus.block;
            if (start + config.modbus.block > 65536) {
                *error = "module \"" + link.modules[mi].name + "\" of link \"" + link.name +
                         "\" lies beyond address 65535; make [modbus] block smaller";
                return {};
            }
            b.start = static_cast<int>(start);
            AddModule(b, link, link.modules[mi]);
            if (!b.Fits()) {
                *error = "module \"" + link.modules[mi].name + "\" of link \"" + link.name +
                         "\" needs more than " + std::to_string(config.modbus.block) +
                         " addresses in a table; make [modbus] block larger";
                return {};
            }
        }
    }
    for (std::size_t i = 0; i < map.entries_.size(); ++i) {
        const MapEntry &e = map.entries_[i];
        for (int w = 0; w < e.width; ++w) {
            map.index_[{e.unit, static_cast<int>(e.table), e.address + w}] = i;
        }
    }
    return map;
}

const MapEntry *ModbusMap::Find(int unit, RegisterTable table, int address) const {
    auto it = index_.find({unit, static_cast<int>(table), address});
    return it == index_.end() ? nullptr : &entries_[it->second];
}

bool ModbusMap::HasUnit(int unit) const {
    auto it = index_.lower_bound({unit, 0, 0});
    return it != index_.end() && std::get<0>(it->first) == unit;
}

namespace {

// Printed by unit, table and address, the order an HMI lists them in.
std::vector<const MapEntry *> Sorted(const ModbusMap &map) {
    std::vector<const MapEntry *> sorted;
    for (const MapEntry &e : map.Entries()) {
        sorted.push_back(&e);
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const MapEntry *a, const MapEntry *b) {
        return std::tuple(a->unit, static_cast<int>(a->table), a->address) <
               std::tuple(b->unit, static_cast<int>(b->table), b->address);
    });
    return sorted;
}

}  // namespace

std::string MapTable(const Config &config, const ModbusMap &map) {
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "%-4s  %-16s  %7s  %6s  %-14s  %-3s  %s\n", "unit", "table",
                  "address", "number", "format", "rw", "name");
    out += line;
    for (const MapEntry *entry : Sorted(map)) {
        const MapEntry &e = *entry;
        std::snprintf(line, sizeof line, "%-4d  %-16s  %7d  %06d  %-14s  %-3s  %s\n", e.unit,
                      TableName(e.table), e.address, ConventionalNumber(e),
                      Format(config, e).c_str(), Access(config, e).c_str(), e.name.c_str());
        out += line;
    }
    return out;
}

std::string MapCsv(const Config &config, const ModbusMap &map) {
    std::string out = "unit,table,address,number,registers,format,access,name\n";
    for (const MapEntry *entry : Sorted(map)) {
        const MapEntry &e = *entry;
        char number[16];
        std::snprintf(number, sizeof number, "%06d", ConventionalNumber(e));
        out += std::to_string(e.unit) + "," + TableName(e.table) + "," + std::to_string(e.address) +
               "," + number + "," + std::to_string(e.width) + "," + Format(config, e) + "," +
               Access(config, e) + "," + e.name + "\n";
    }
    return out;
}

}  // namespace qor::gateway
