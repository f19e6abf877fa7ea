#include "gateway/modbus/modbus_registers.h"

#include <modbus/modbus.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "catalogue/catalogue.h"

namespace qor::gateway {

namespace {

using Clock = std::chrono::steady_clock;

void Split(std::uint32_t bits, WordOrder order, unsigned short *words) {
    auto high = static_cast<unsigned short>(bits >> 16);
    auto low = static_cast<unsigned short>(bits & 0xFFFF);
    words[0] = order == WordOrder::kAbcd ? high : low;
    words[1] = order == WordOrder::kAbcd ? low : high;
}

std::uint32_t Join(const unsigned char *data, WordOrder order) {
    std::uint32_t first = static_cast<std::uint32_t>(Field(data, 0));
    std::uint32_t second = static_cast<std::uint32_t>(Field(data, 2));
    return order == WordOrder::kAbcd ? (first << 16) | second : (second << 16) | first;
}

bool Fresh(const std::optional<TimedValue> &v, const ModuleView &m, Clock::time_point now,
           int max_age_s) {
    return v && m.availability != Availability::kOffline &&
           now - v->steady <= std::chrono::seconds(max_age_s);
}

// The value behind a poll or a writable command, if it is current.
std::optional<double> ValueOf(const Config &config, const MapEntry &e, const ModuleView &m,
                              Clock::time_point now) {
    if (e.source == Source::kPoll) {
        if (e.poll >= m.queries.size()) {
            return std::nullopt;
        }
        const std::optional<TimedValue> &v = m.queries[e.poll].good;
        return Fresh(v, m, now, config.modbus.max_age_s) ? std::optional<double>(v->value)
                                                         : std::nullopt;
    }
    // A limit reads back from its poll or from the last write through the
    // gateway, whichever is newer; other commands from the write alone.
    const ModuleSpec &spec = config.links[e.link].modules[e.module];
    const std::optional<TimedValue> &written = m.written.at(static_cast<std::size_t>(e.command));
    std::optional<double> value;
    if (written && m.availability != Availability::kOffline) {
        value = written->value;
    }
    Query echo = e.command == CommandKind::kHi ? Query::kRh : Query::kRl;
    bool limit = e.command == CommandKind::kHi || e.command == CommandKind::kLo;
    for (std::size_t i = 0; limit && i < spec.polls.size() && i < m.queries.size(); ++i) {
        const std::optional<TimedValue> &polled = m.queries[i].good;
        if (spec.polls[i].query == echo && Fresh(polled, m, now, config.modbus.max_age_s) &&
            (!written || polled->steady > written->steady)) {
            value = polled->value;
        }
    }
    return value;
}

}  // namespace

int Field(const unsigned char *pdu, int at) {
    return (pdu[at] << 8) | pdu[at + 1];
}

int EntryWords(const Config &config, const MapEntry &e, const ModuleView &m, Clock::time_point now,
               unsigned short *words) {
    switch (e.source) {
        case Source::kAvailability:
            words[0] = static_cast<unsigned short>(m.availability);
            return kOk;
        case Source::kLastStatus:
            words[0] = static_cast<unsigned short>(m.last_status);
            return kOk;
        case Source::kLastError:
            words[0] = static_cast<unsigned short>(m.last_error);
            return kOk;
        case Source::kAge: {
            auto age =
                m.last_good
                    ? std::chrono::duration_cast<std::chrono::seconds>(now - *m.last_good).count()
                    : 65535;
            words[0] = static_cast<unsigned short>(std::min<long long>(age, 65535));
            return kOk;
        }
        default:
            break;
    }
    std::optional<double> value = ValueOf(config, e, m, now);
    if (!value) {
        return kNoAnswer;
    }
    double v = *value;
    switch (e.encoding) {
        case Encoding::kBit:
            words[0] = v != 0 ? 1 : 0;
            return kOk;
        case Encoding::kFloat32: {
            auto f = static_cast<float>(v);
            std::uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            Split(bits, config.modbus.word_order, words);
            return kOk;
        }
        case Encoding::kUint32:
            if (v < 0 || v > 4294967295.0) {
                return kDeviceFailure;
            }
            Split(static_cast<std::uint32_t>(v), config.modbus.word_order, words);
            return kOk;
        case Encoding::kInt16:
        case Encoding::kUint16: {
            double scaled = std::round(v * e.scale);
            bool is_signed = e.encoding == Encoding::kInt16;
            if (scaled < (is_signed ? -32768 : 0) || scaled > (is_signed ? 32767 : 65535)) {
                return kDeviceFailure;
            }
            words[0] = static_cast<unsigned short>(static_cast<int>(scaled) & 0xFFFF);
            return kOk;
        }
    }
    return kDeviceFailure;
}

void Marker(const MapEntry &e, unsigned short *words) {
    switch (e.encoding) {
        case Encoding::kBit:
            words[0] = 0;
            break;
        case Encoding::kFloat32:
            words[0] = 0x7FC0;  // a quiet NaN in either word order: 7FC0 0000 / 0000 7FC0
            words[1] = 0;
            break;
        case Encoding::kUint32:
            words[0] = words[1] = 0xFFFF;
            break;
        case Encoding::kInt16:
            words[0] = 0x8000;
            break;
        case Encoding::kUint16:
            words[0] = 0xFFFF;
            break;
    }
}

int ExceptionFor(const CommandResult &r) {
    if (r.refusal == Refusal::kArguments) {
        return kIllegalValue;
    }
    if (r.refusal == Refusal::kTarget) {
        return kIllegalAddress;
    }
    if (!r.ran) {
        return kBusy;  // the queue full, or the gateway reloading or stopping
    }
    if (r.status == 0) {
        return kOk;
    }
    if (r.status == 100 && r.error != 1) {
        // The module answered with an error: "?1 RANGE" refuses the value.
        return r.error == 'R' ? kIllegalValue : kDeviceFailure;
    }
    return kNoAnswer;
}

WriteRequest ParseWrite(int unit, const unsigned char *pdu) {
    WriteRequest w;
    int function = pdu[0];
    bool coils =
        function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_MULTIPLE_COILS;
    bool single =
        function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER;
    w.unit = unit;
    w.table = coils ? RegisterTable::kCoil : RegisterTable::kHoldingRegister;
    w.address = Field(pdu, 1);
    w.count = single ? 1 : Field(pdu, 3);
    w.data = single ? pdu + 3 : pdu + 6;
    if (single && coils && Field(pdu, 3) != 0xFF00 && Field(pdu, 3) != 0) {
        w.code = kIllegalValue;
    }
    if (!single &&
        (w.count < 1 || w.count > (coils ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS) ||
         pdu[5] != (coils ? (w.count + 7) / 8 : w.count * 2))) {
        w.code = kIllegalValue;
    }
    return w;
}

double WrittenValue(const MapEntry &e, const unsigned char *data, int i, WordOrder order) {
    if (e.table == RegisterTable::kCoil) {
        return (data[i / 8] >> (i % 8)) & 1;
    }
    if (e.encoding == Encoding::kFloat32) {
        std::uint32_t bits = Join(data + 2 * i, order);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    int raw = Field(data, 2 * i);
    if (e.command == CommandKind::kDo) {
        return raw;
    }
    if (e.encoding == Encoding::kInt16 && raw >= 0x8000) {
        raw -= 0x10000;
    }
    return raw / e.scale;
}

int PlanWrite(const ModbusMap &map, const ModbusSpec &spec, const WriteRequest &w,
              std::vector<PlannedWrite> *writes) {
    for (int i = 0; i < w.count;) {
        const MapEntry *e =
            w.address + i <= 0xFFFF ? map.Find(w.unit, w.table, w.address + i) : nullptr;
        if (e == nullptr || e->address != w.address + i || i + e->width > w.count) {
            return kIllegalAddress;
        }
        double value = WrittenValue(*e, w.data, i, spec.word_order);
        if (e->table == RegisterTable::kHoldingRegister && e->command != CommandKind::kDo &&
            !(std::fabs(value) < catalogue::kValueLimit)) {
            return kIllegalValue;
        }
        writes->push_back({e, value});
        i += e->width;
    }
    return kOk;
}

}  // namespace qor::gateway
