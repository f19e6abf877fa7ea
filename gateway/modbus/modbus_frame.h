// Modbus TCP framing as pure functions over bytes, so that the fuzzer and
// the unit tests can feed it anything: where a request ends on a
// connection's stream (the MBAP header says, 7 bytes and a length), whether
// it is well formed, and the device identification answer, which libmodbus
// cannot give as a server.
//
// A request is taken only whole and only when every part agrees: protocol
// id 0, a length that covers the unit and a PDU of 1 to 253 bytes, a
// function code from 1 to 127, and for the functions the server serves a PDU
// of exactly the size the function defines. Anything else ends the
// connection: a stream whose lengths disagree cannot be followed, and an
// answer out of step is worse than none. A function it does not serve is
// consumed whole and answered 0x01.
#ifndef QOR_GATEWAY_MODBUS_FRAME_H
#define QOR_GATEWAY_MODBUS_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qor::gateway {

constexpr std::size_t kMbapSize = 7;  // transaction, protocol, length, unit
constexpr std::size_t kMaxPduSize = 253;
constexpr std::size_t kMaxAduSize = kMbapSize + kMaxPduSize;  // 260

enum class FrameStatus { kIncomplete, kComplete, kMalformed };

// What a request's function asks of the server.
enum class RequestKind {
    kRead,         // 1 to 4
    kWrite,        // 5, 6, 15, 16
    kIdentify,     // 0x2B with MEI type 0x0E: device identification
    kUnsupported,  // any other function: exception 0x01
};

struct Frame {
    FrameStatus status = FrameStatus::kIncomplete;
    // kIncomplete: the bytes needed before it can say more; else the bytes
    // the request takes, header included.
    std::size_t size = kMbapSize;
    std::uint16_t transaction = 0;
    std::uint8_t unit = 0;
    const std::uint8_t *pdu = nullptr;  // its function code first
    std::size_t pdu_size = 0;
    RequestKind kind = RequestKind::kUnsupported;
    const char *why = "";  // kMalformed: for the log
};

// The request at the start of data[0, size).
Frame ParseFrame(const std::uint8_t *data, std::size_t size);

// What the basic device identification objects hold.
struct DeviceIdentity {
    std::string vendor;    // object 0
    std::string product;   // object 1
    std::string revision;  // object 2
};

// The answer to a kIdentify request (2B 0E code object): its PDU, or empty
// with the exception to answer instead in *exception.
std::vector<std::uint8_t> IdentificationPdu(const Frame &request, const DeviceIdentity &identity,
                                            int *exception);

// A whole answer to request: its header (the request's transaction and
// unit) and pdu.
std::vector<std::uint8_t> Adu(const Frame &request, const std::vector<std::uint8_t> &pdu);

}  // namespace qor::gateway

#endif
