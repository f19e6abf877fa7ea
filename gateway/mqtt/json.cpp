#include "gateway/mqtt/json.h"

#include <climits>
#include <ctime>
#include <nlohmann/json.hpp>

#include "gateway/core/log.h"
#include "qor_dll.h"

namespace qor::gateway {

namespace {

// Keys come out in the order they are set, the documented one: value first.
// Named as the library names its plain kind, which it replaces.
using json = nlohmann::ordered_json;  // NOLINT(readability-identifier-naming)

// nlohmann's dump() replaces invalid UTF-8 rather than throwing: text from a
// module or a topic can hold any byte.
std::string Dump(const json &object) {
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

template <typename T>
std::optional<std::string> Take(const json &object, const char *key, std::optional<T> *out) {
    auto it = object.find(key);
    if (it == object.end()) {
        return std::nullopt;
    }
    bool fits = false;
    if constexpr (std::is_same_v<T, bool>) {
        fits = it->is_boolean();
    } else if constexpr (std::is_same_v<T, double>) {
        fits = it->is_number();
    } else {
        fits = it->is_number_integer();
        // Checked before any narrowing: 4294967298 must not become 2.
        if (fits && it->is_number_unsigned() &&
            it->template get<unsigned long long>() > static_cast<unsigned long long>(LLONG_MAX)) {
            return std::string("\"") + key + "\" is out of range";
        }
    }
    if (!fits) {
        return std::string("\"") + key + "\" has the wrong type";
    }
    *out = it->get<T>();
    return std::nullopt;
}

}  // namespace

std::string Timestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

std::string ReadingPayload(const Reading &r) {
    json object;
    if (r.status != 0) {
        object["value"] = nullptr;
    } else if (r.integral && !r.raw) {
        object["value"] = static_cast<long long>(r.value);
    } else {
        object["value"] = r.value;
    }
    if (r.status == 0 && r.raw) {
        object["raw"] = *r.raw;
    }
    if (r.status == 0 && r.mode >= 0) {
        object["latching"] = r.mode == QOR_MODE_LATCHING;
    }
    object["status"] = r.status;
    object["error"] = r.error;
    if (!r.error_text.empty()) {
        object["error_text"] = r.error_text;
    }
    object["ts"] = Timestamp(r.when);
    object["seq"] = r.seq;
    object["boot"] = r.boot;
    return Dump(object);
}

std::string ResultPayload(const CommandResult &r) {
    json object;
    object["command"] = r.command;
    object["ok"] = r.ran && r.status == 0;
    if (!r.ran) {
        object["reason"] = r.reason;
    } else {
        object["status"] = r.status;
        object["error"] = r.error;
        if (!r.error_text.empty()) {
            object["error_text"] = r.error_text;
        }
        if (r.count) {
            object["value"] = *r.count;
        }
    }
    if (!r.origin.empty()) {
        object["origin"] = r.origin;
    }
    object["ts"] = Timestamp(r.when);
    return Dump(object);
}

std::string CountersPayload(const ModuleCounters &c, std::chrono::system_clock::time_point when) {
    json object{
        {"replies", c.replies},           {"timeouts", c.timeouts}, {"errors", c.errors},
        {"link_faults", c.link_faults},   {"overruns", c.overruns}, {"commands", c.commands},
        {"late_replies", c.late_replies}, {"refused", c.refused},   {"ts", Timestamp(when)}};
    return Dump(object);
}

std::string DroppedPayload(const OutboxStatus &s, std::chrono::system_clock::time_point when) {
    json object{
        {"dropped", s.dropped}, {"boot", s.boot}, {"delivered", s.delivered}, {"spool", s.spooled}};
    if (s.spooled) {
        auto now =
            std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
        object["spool_bytes"] = s.spool_bytes;
        object["spool_messages"] = s.spool_messages;
        object["oldest_unsent_s"] =
            s.oldest_ms > 0 ? std::max<long long>(0, (now - s.oldest_ms) / 1000) : 0;
    }
    object["spool_resets"] = s.spool_resets;
    object["ts"] = Timestamp(when);
    return Dump(object);
}

std::variant<PayloadFields, std::string> ParsePayloadFields(std::string_view payload) {
    PayloadFields fields;
    if (payload.size() > kMaxPayloadBytes) {
        return "the payload is longer than " + std::to_string(kMaxPayloadBytes) + " bytes";
    }
    // A NUL would end the text for some reader along the way; the parser
    // must see exactly what the module's command is built from.
    if (payload.find('\0') != std::string_view::npos) {
        return std::string("the payload holds a NUL byte");
    }
    if (payload.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        return fields;
    }
    // Strict: exactly one JSON document, nothing after it but white space.
    json object = json::parse(payload.begin(), payload.end(), nullptr, false, false);
    if (object.is_discarded()) {
        return std::string("the payload is not JSON");
    }
    if (!object.is_object()) {
        return std::string("the payload is not a JSON object");
    }
    for (const auto &item : object.items()) {
        const std::string &key = item.key();
        if (key != "value" && key != "latching" && key != "outputs" && key != "bytes" &&
            key != "bit") {
            return "unknown key " + Quoted(key, 40);
        }
    }
    for (auto reason :
         {Take(object, "value", &fields.value), Take(object, "latching", &fields.latching),
          Take(object, "outputs", &fields.outputs), Take(object, "bytes", &fields.bytes),
          Take(object, "bit", &fields.bit)}) {
        if (reason) {
            return *reason;
        }
    }
    return fields;
}

}  // namespace qor::gateway
