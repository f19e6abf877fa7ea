// Feeds arbitrary bytes, as MQTT hands an NCMD, a DCMD or a host's STATE to
// the Sparkplug B node, into what reads them, and checks what must hold
// whatever they are:
//  - a metric with a value has a finite number;
//  - a STATE read has come from a JSON object with a boolean "online" and
//    an unsigned "timestamp";
//  - the decoder of --decode-sparkplug reads every payload DecodeCommand
//    reads;
//  - (with the sanitizers) no memory error, no undefined behaviour.
//
// Input layout: the bytes of the payload, read as each of the three.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gateway/sparkplug/sparkplug_codec.h"

namespace {

using namespace qor::gateway;

[[noreturn]] void Fail(const char *what, std::size_t size) {
    std::fprintf(stderr, "invariant broken: %s (%zu bytes)\n", what, size);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char *>(data), size);
    auto metrics = sparkplug::DecodeCommand(bytes);
    if (metrics) {
        for (const sparkplug::CommandMetric &m : *metrics) {
            if (m.has_value && !std::isfinite(m.number)) {
                Fail("a value that is not finite", size);
            }
        }
        if (!sparkplug::DescribePayload(bytes)) {
            Fail("a command the decoder cannot show", size);
        }
    }
    auto state = ParseHostState(bytes);
    if (state && bytes.find("online") == std::string::npos) {
        Fail("a STATE without \"online\"", size);
    }
    return 0;
}
