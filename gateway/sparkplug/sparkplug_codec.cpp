#include "gateway/sparkplug/sparkplug_codec.h"

#include <mosquitto.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "common/iso_time.h"
#include "gateway/core/log.h"
#include "sparkplug_b.pb-c.h"

namespace qor::gateway::sparkplug {

namespace {

// protobuf-c takes char* for strings it only reads.
char *Text(const std::string &s) {
    return const_cast<char *>(s.c_str());
}

}  // namespace

namespace {

// One metric, pointing into in and into the unit's property storage.
void Fill(const Metric &in, char **unit_key, Spb__Payload__PropertyValue *unit,
          Spb__Payload__PropertyValue **unit_pointer, Spb__Payload__PropertySet *properties,
          Spb__Payload__Metric *m) {
    spb__payload__metric__init(m);
    if (!in.name.empty()) {
        m->name = Text(in.name);
    }
    if (in.alias != 0) {
        m->has_alias = true;
        m->alias = in.alias;
    }
    m->has_datatype = true;
    m->datatype = in.datatype;
    if (in.timestamp != 0) {
        m->has_timestamp = true;
        m->timestamp = in.timestamp;
    }
    if (!in.unit.empty()) {
        spb__payload__property_value__init(unit);
        unit->has_type = true;
        unit->type = kString;
        unit->value_case = SPB__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE;
        unit->string_value = Text(in.unit);
        *unit_pointer = unit;
        spb__payload__property_set__init(properties);
        properties->n_keys = 1;
        properties->keys = unit_key;
        properties->n_values = 1;
        properties->values = unit_pointer;
        m->properties = properties;
    }
    if (in.is_null) {
        m->has_is_null = true;
        m->is_null = true;
    } else if (in.datatype == kDouble) {
        m->value_case = SPB__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
        m->double_value = in.number;
    } else if (in.datatype == kBoolean) {
        m->value_case = SPB__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
        m->boolean_value = in.number != 0;
    } else if (in.datatype == kString) {
        m->value_case = SPB__PAYLOAD__METRIC__VALUE_STRING_VALUE;
        m->string_value = Text(in.text);
    } else {
        // Int64 and UInt64 alike: signed values as two's complement.
        m->value_case = SPB__PAYLOAD__METRIC__VALUE_LONG_VALUE;
        m->long_value = static_cast<std::uint64_t>(std::llround(in.number));
    }
}

}  // namespace

std::string Encode(std::uint64_t timestamp, std::optional<std::uint64_t> seq,
                   const std::vector<Metric> &metrics) {
    std::size_t n = metrics.size();
    std::vector<Spb__Payload__Metric> out(n);
    std::vector<Spb__Payload__Metric *> pointers(n);
    std::vector<Spb__Payload__PropertySet> properties(n);
    std::vector<Spb__Payload__PropertyValue> units(n);
    std::vector<Spb__Payload__PropertyValue *> unit_pointers(n);
    std::string eng_unit = "engUnit";
    char *unit_key = eng_unit.data();
    for (std::size_t i = 0; i < n; ++i) {
        Fill(metrics[i], &unit_key, &units[i], &unit_pointers[i], &properties[i], &out[i]);
        pointers[i] = &out[i];
    }
    Spb__Payload payload;
    spb__payload__init(&payload);
    payload.has_timestamp = true;
    payload.timestamp = timestamp;
    if (seq) {
        payload.has_seq = true;
        payload.seq = *seq;
    }
    payload.n_metrics = pointers.size();
    payload.metrics = pointers.data();
    std::string bytes(spb__payload__get_packed_size(&payload), '\0');
    spb__payload__pack(&payload, reinterpret_cast<uint8_t *>(bytes.data()));
    return bytes;
}

namespace {

// A metric's value as a number; has_value false for a null, a string or a
// value of another kind.
CommandMetric FromMetric(const Spb__Payload__Metric &m) {
    CommandMetric c;
    c.name = m.name != nullptr ? m.name : "";
    if (m.has_alias) {
        c.alias = m.alias;
    }
    c.has_value = !(m.has_is_null && m.is_null);
    std::uint32_t type = m.has_datatype ? m.datatype : 0;
    switch (m.value_case) {
        case SPB__PAYLOAD__METRIC__VALUE_INT_VALUE:
            // Int8, Int16 and Int32 come as two's complement.
            c.number = type >= 1 && type <= 3
                           ? static_cast<double>(static_cast<int32_t>(m.int_value))
                           : static_cast<double>(m.int_value);
            break;
        case SPB__PAYLOAD__METRIC__VALUE_LONG_VALUE:
            c.number = type == kInt64 ? static_cast<double>(static_cast<int64_t>(m.long_value))
                                      : static_cast<double>(m.long_value);
            break;
        case SPB__PAYLOAD__METRIC__VALUE_FLOAT_VALUE:
            c.number = m.float_value;
            break;
        case SPB__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE:
            c.number = m.double_value;
            break;
        case SPB__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
            c.number = m.boolean_value ? 1 : 0;
            c.boolean = true;
            break;
        default:
            c.has_value = false;
            break;
    }
    c.boolean = c.boolean || type == kBoolean;
    c.has_value = c.has_value && std::isfinite(c.number);
    return c;
}

}  // namespace

std::optional<std::vector<CommandMetric>> DecodeCommand(const std::string &bytes) {
    std::unique_ptr<Spb__Payload, void (*)(Spb__Payload *)> payload(
        spb__payload__unpack(nullptr, bytes.size(),
                             reinterpret_cast<const uint8_t *>(bytes.data())),
        [](Spb__Payload *p) { spb__payload__free_unpacked(p, nullptr); });
    if (!payload) {
        return std::nullopt;
    }
    std::vector<CommandMetric> metrics;
    for (std::size_t i = 0; i < payload->n_metrics; ++i) {
        metrics.push_back(FromMetric(*payload->metrics[i]));
    }
    return metrics;
}

namespace {

// Sparkplug B's datatype names, by code.
constexpr const char *kTypeNames[] = {
    "Unknown", "Int8",  "Int16",  "Int32",    "Int64",       "UInt8",          "UInt16", "UInt32",
    "UInt64",  "Float", "Double", "Boolean",  "String",      "DateTime",       "Text",   "UUID",
    "DataSet", "Bytes", "File",   "Template", "PropertySet", "PropertySetList"};

std::string TypeName(std::uint32_t type) {
    return type < sizeof kTypeNames / sizeof kTypeNames[0] ? kTypeNames[type]
                                                           : "type " + std::to_string(type);
}

// A timestamp beyond what the system clock counts (the year 2262) is shown
// as its number alone.
std::string When(std::uint64_t ms) {
    constexpr auto kLast = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::duration::max())
                               .count();
    if (ms > static_cast<std::uint64_t>(kLast)) {
        return "beyond the year 2262";
    }
    return text::IsoUtc(std::chrono::system_clock::time_point(
        std::chrono::milliseconds(static_cast<std::int64_t>(ms))));
}

// The shortest text that reads back as the same double.
std::string Number(double value) {
    char text[32];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) {
            break;
        }
    }
    return text;
}

// Text from a payload, for people: quoted, valid UTF-8 kept as it is (a
// unit's "°C"), anything else escaped byte by byte, so that no terminal is
// fed control bytes or broken sequences.
std::string Shown(const char *text, std::size_t limit) {
    std::string s = text != nullptr ? text : "";
    if (s.size() > limit ||
        mosquitto_validate_utf8(s.c_str(), static_cast<int>(s.size())) != MOSQ_ERR_SUCCESS) {
        return Quoted(s, limit);
    }
    std::string quoted = "\"";
    for (char c : s) {
        quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    }
    return quoted + "\"";
}

std::string ValueOf(const Spb__Payload__Metric &m) {
    if (m.has_is_null && m.is_null) {
        return "null";
    }
    CommandMetric c = FromMetric(m);
    switch (m.value_case) {
        case SPB__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
            return m.boolean_value ? "true" : "false";
        case SPB__PAYLOAD__METRIC__VALUE_LONG_VALUE:
            // Exactly, beyond a double's 53 bits.
            return m.has_datatype && m.datatype == kInt64
                       ? std::to_string(static_cast<std::int64_t>(m.long_value))
                       : std::to_string(m.long_value);
        case SPB__PAYLOAD__METRIC__VALUE_STRING_VALUE:
            return Shown(m.string_value, 1000);
        case SPB__PAYLOAD__METRIC__VALUE_BYTES_VALUE:
            return std::to_string(m.bytes_value.len) + " bytes";
        case SPB__PAYLOAD__METRIC__VALUE__NOT_SET:
            return "no value";
        default:
            return c.has_value ? Number(c.number) : "a value this decoder does not show";
    }
}

std::string Properties(const Spb__Payload__PropertySet *set) {
    std::string text;
    for (std::size_t i = 0; set != nullptr && i < set->n_keys && i < set->n_values; ++i) {
        const Spb__Payload__PropertyValue *v = set->values[i];
        text += ", " + Shown(set->keys[i], 100) + " ";
        text += v != nullptr && v->value_case == SPB__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE
                    ? Shown(v->string_value, 200)
                    : "(a value)";
    }
    return text;
}

std::string MetricLine(const Spb__Payload__Metric &m) {
    std::string line = "metric " + Shown(m.name, 200);
    if (m.has_alias) {
        line += " (alias " + std::to_string(m.alias) + ")";
    }
    line += ": " + TypeName(m.has_datatype ? m.datatype : 0) + " " + ValueOf(m);
    if (m.has_timestamp) {
        line += " at " + When(m.timestamp);
    }
    return line + Properties(m.properties) + "\n";
}

}  // namespace

std::optional<std::string> DescribePayload(const std::string &bytes) {
    std::unique_ptr<Spb__Payload, void (*)(Spb__Payload *)> payload(
        spb__payload__unpack(nullptr, bytes.size(),
                             reinterpret_cast<const uint8_t *>(bytes.data())),
        [](Spb__Payload *p) { spb__payload__free_unpacked(p, nullptr); });
    if (!payload) {
        return std::nullopt;
    }
    std::string text;
    if (payload->has_timestamp) {
        text += "timestamp: " + When(payload->timestamp) + " (" +
                std::to_string(payload->timestamp) + ")\n";
    }
    text += payload->has_seq ? "seq: " + std::to_string(payload->seq) + "\n" : "seq: none\n";
    for (std::size_t i = 0; i < payload->n_metrics; ++i) {
        text += MetricLine(*payload->metrics[i]);
    }
    return text;
}

}  // namespace qor::gateway::sparkplug

namespace qor::gateway {

std::optional<HostState> ParseHostState(const std::string &payload) {
    nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return std::nullopt;
    }
    auto online = j.find("online");
    auto timestamp = j.find("timestamp");
    if (online == j.end() || !online->is_boolean() || timestamp == j.end() ||
        !timestamp->is_number_unsigned()) {
        return std::nullopt;
    }
    return HostState{online->get<bool>(), timestamp->get<std::uint64_t>()};
}

}  // namespace qor::gateway
