// Feeds arbitrary bytes to the Modbus TCP framing as a connection's stream
// would bring them, request after request, and checks what must hold
// whatever arrives:
//  - a request is taken only whole: its header says protocol 0 and the size
//    taken, its PDU lies within the bytes and has the size its function
//    defines; a function code is 1 to 127;
//  - a request cut short is never taken, and asks for the bytes it lacks,
//    never more than one request can hold;
//  - the device identification answer fits one PDU and its header counts it;
//  - (with the sanitizers) no memory error, no undefined behaviour.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gateway/modbus/modbus_frame.h"

namespace {

using qor::gateway::Frame;
using qor::gateway::FrameStatus;
using qor::gateway::RequestKind;

[[noreturn]] void Fail(const char *what, std::size_t at) {
    std::fprintf(stderr, "invariant broken: %s (request at byte %zu)\n", what, at);
    std::abort();
}

void Check(bool holds, const char *what, std::size_t at) {
    if (!holds) {
        Fail(what, at);
    }
}

std::size_t DefinedSize(const Frame &f) {
    switch (f.kind) {
        case RequestKind::kRead:
            return 5;
        case RequestKind::kWrite:
            return f.pdu[0] == 5 || f.pdu[0] == 6 ? 5 : 6 + std::size_t{f.pdu[5]};
        case RequestKind::kIdentify:
            return 4;
        case RequestKind::kUnsupported:
            break;
    }
    return f.pdu_size;
}

void CheckWhole(const std::uint8_t *data, const Frame &f, std::size_t at) {
    Check(f.size >= qor::gateway::kMbapSize + 1 && f.size <= qor::gateway::kMaxAduSize,
          "a request's size outside 8 to 260", at);
    Check(data[2] == 0 && data[3] == 0, "a protocol id other than 0 taken", at);
    Check((std::size_t{data[4]} << 8 | data[5]) + 6 == f.size, "a size the header does not say",
          at);
    Check(f.pdu == data + qor::gateway::kMbapSize && f.pdu_size + qor::gateway::kMbapSize == f.size,
          "a PDU outside the request", at);
    Check(f.pdu[0] >= 1 && f.pdu[0] <= 127, "a function code outside 1 to 127", at);
    Check(DefinedSize(f) == f.pdu_size, "a PDU of another size than its function's", at);
    // Cut by one byte, the same bytes are not a request yet.
    Frame cut = qor::gateway::ParseFrame(data, f.size - 1);
    Check(cut.status == FrameStatus::kIncomplete && cut.size == f.size,
          "a request taken before its last byte", at);
    if (f.kind == RequestKind::kIdentify) {
        qor::gateway::DeviceIdentity id = {"qor", "qor-gateway", "0.0.0"};
        int exception = -1;
        std::vector<std::uint8_t> pdu = qor::gateway::IdentificationPdu(f, id, &exception);
        Check(exception == 0 ? !pdu.empty() && pdu.size() <= qor::gateway::kMaxPduSize
                             : pdu.empty() && (exception == 2 || exception == 3),
              "a device identification answer beyond one PDU", at);
        std::vector<std::uint8_t> adu = qor::gateway::Adu(f, pdu);
        Check((std::size_t{adu[4]} << 8 | adu[5]) + 6 == adu.size(),
              "an answer whose header miscounts it", at);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
        Frame f = qor::gateway::ParseFrame(data + at, size - at);
        if (f.status == FrameStatus::kIncomplete) {
            Check(f.size > size - at && f.size <= qor::gateway::kMaxAduSize,
                  "an incomplete request asking for what it has, or for too much", at);
            break;
        }
        if (f.status == FrameStatus::kMalformed) {
            Check(f.why != nullptr && *f.why != '\0', "a refusal without a reason", at);
            break;  // the connection ends here
        }
        CheckWhole(data + at, f, at);
        at += f.size;
    }
    return 0;
}
