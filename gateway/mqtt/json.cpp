#include "gateway/mqtt/json.h"

#include <climits>
#include <ctime>
#include <nlohmann/json.hpp>

#include "common/iso_time.h"
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

}  // namespace

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
    object["ts"] = text::IsoUtc(r.when);
    object["seq"] = r.seq;
    object["boot"] = r.boot;
    return Dump(object);
}

std::string ResultPayload(const CommandResult &r, const std::string &note) {
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
    if (!note.empty()) {
        object["note"] = note;
    }
    object["ts"] = text::IsoUtc(r.when);
    return Dump(object);
}

std::string CountersPayload(const ModuleCounters &c, std::chrono::system_clock::time_point when) {
    json object{
        {"replies", c.replies},           {"timeouts", c.timeouts}, {"errors", c.errors},
        {"link_faults", c.link_faults},   {"overruns", c.overruns}, {"commands", c.commands},
        {"late_replies", c.late_replies}, {"refused", c.refused},   {"ts", text::IsoUtc(when)}};
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
    object["ts"] = text::IsoUtc(when);
    return Dump(object);
}

}  // namespace qor::gateway
