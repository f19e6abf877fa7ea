#include "gateway/modbus/modbus_frame.h"

#include <algorithm>

namespace qor::gateway {

namespace {

constexpr std::uint8_t kIdentify = 0x2B;
constexpr std::uint8_t kDeviceIdentification = 0x0E;  // the MEI type
constexpr int kIllegalAddress = 0x02;
constexpr int kIllegalValue = 0x03;
// Basic identification, by stream and by object.
constexpr std::uint8_t kConformity = 0x81;
constexpr std::uint8_t kLastBasicObject = 2;
constexpr std::uint8_t kIndividualAccess = 4;

RequestKind KindOf(const std::uint8_t *pdu, std::size_t size) {
    std::uint8_t function = pdu[0];
    if (function >= 1 && function <= 4) {
        return RequestKind::kRead;
    }
    if (function == 5 || function == 6 || function == 15 || function == 16) {
        return RequestKind::kWrite;
    }
    if (function == kIdentify && size >= 2 && pdu[1] == kDeviceIdentification) {
        return RequestKind::kIdentify;
    }
    return RequestKind::kUnsupported;
}

// The size the function defines for a PDU, from what it holds; 0: any.
std::size_t DefinedSize(RequestKind kind, const std::uint8_t *pdu, std::size_t size) {
    switch (kind) {
        case RequestKind::kRead:
            return 5;  // function, address, count
        case RequestKind::kWrite:
            if (pdu[0] == 5 || pdu[0] == 6) {
                return 5;  // function, address, value
            }
            // function, address, count, byte count, the bytes
            return size >= 6 ? 6 + std::size_t{pdu[5]} : 6;
        case RequestKind::kIdentify:
            return 4;  // function, MEI type, code, object
        case RequestKind::kUnsupported:
            break;
    }
    return 0;
}

Frame Malformed(Frame frame, const char *why) {
    frame.status = FrameStatus::kMalformed;
    frame.why = why;
    return frame;
}

}  // namespace

Frame ParseFrame(const std::uint8_t *data, std::size_t size) {
    Frame frame;
    if (size < kMbapSize) {
        return frame;
    }
    frame.transaction = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
    frame.unit = data[6];
    if (data[2] != 0 || data[3] != 0) {
        return Malformed(frame, "a protocol id other than 0");
    }
    std::size_t length = std::size_t{data[4]} << 8 | data[5];
    if (length < 2 || length > kMaxPduSize + 1) {
        return Malformed(frame, "a length outside 2 to 254");
    }
    frame.size = kMbapSize - 1 + length;
    if (size < frame.size) {
        return frame;
    }
    frame.pdu = data + kMbapSize;
    frame.pdu_size = length - 1;
    std::uint8_t function = frame.pdu[0];
    if (function == 0 || function >= 0x80) {
        return Malformed(frame, "a function code outside 1 to 127");
    }
    frame.kind = KindOf(frame.pdu, frame.pdu_size);
    std::size_t defined = DefinedSize(frame.kind, frame.pdu, frame.pdu_size);
    if (defined != 0 && defined != frame.pdu_size) {
        return Malformed(frame, "a length that disagrees with its function");
    }
    frame.status = FrameStatus::kComplete;
    return frame;
}

// Stream access (codes 1 to 3) answers the objects from the one asked for
// to the last, starting over at 0 for an object it does not have; a master
// asking for more than basic identification gets what there is. Individual
// access (4) answers the one object, or 0x02 when there is none such.
std::vector<std::uint8_t> IdentificationPdu(const Frame &request, const DeviceIdentity &identity,
                                            int *exception) {
    std::uint8_t code = request.pdu[2];
    std::uint8_t object = request.pdu[3];
    if (code < 1 || code > kIndividualAccess) {
        *exception = kIllegalValue;
        return {};
    }
    if (object > kLastBasicObject && code == kIndividualAccess) {
        *exception = kIllegalAddress;
        return {};
    }
    std::uint8_t first = object > kLastBasicObject ? 0 : object;
    std::uint8_t last = code == kIndividualAccess ? first : kLastBasicObject;
    const std::string *values[] = {&identity.vendor, &identity.product, &identity.revision};
    // No more follows, and so no next object.
    std::vector<std::uint8_t> pdu(7);
    pdu[0] = kIdentify;
    pdu[1] = kDeviceIdentification;
    pdu[2] = code;
    pdu[3] = kConformity;
    pdu[6] = static_cast<std::uint8_t>(last - first + 1);
    for (std::uint8_t id = first; id <= last; ++id) {
        // Each value fits a byte's length, and all of them one PDU.
        std::string value = values[id]->substr(0, 64);
        pdu.push_back(id);
        pdu.push_back(static_cast<std::uint8_t>(value.size()));
        for (char c : value) {
            pdu.push_back(static_cast<std::uint8_t>(c));
        }
    }
    *exception = 0;
    return pdu;
}

std::vector<std::uint8_t> Adu(const Frame &request, const std::vector<std::uint8_t> &pdu) {
    std::size_t length = pdu.size() + 1;  // the unit and the PDU
    std::vector<std::uint8_t> adu(kMbapSize + pdu.size());
    adu[0] = static_cast<std::uint8_t>(request.transaction >> 8);
    adu[1] = static_cast<std::uint8_t>(request.transaction & 0xFF);
    adu[4] = static_cast<std::uint8_t>(length >> 8);
    adu[5] = static_cast<std::uint8_t>(length & 0xFF);
    adu[6] = request.unit;
    std::copy(pdu.begin(), pdu.end(), adu.begin() + kMbapSize);
    return adu;
}

}  // namespace qor::gateway
