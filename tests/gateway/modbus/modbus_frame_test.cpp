// Modbus TCP framing: where a request ends on the stream, which requests are
// refused as malformed (and end their connection), and the device
// identification answer a master reads on connect.
#include "gateway/modbus/modbus_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace qor::gateway {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A request with a right header around pdu; length: the MBAP length
// field, by default the one that fits.
Bytes Request(const Bytes &pdu, int length = -1, std::uint16_t protocol = 0) {
    int field = length >= 0 ? length : static_cast<int>(pdu.size()) + 1;
    Bytes out(7 + pdu.size());
    out[0] = 0x12;
    out[1] = 0x34;
    out[2] = static_cast<std::uint8_t>(protocol >> 8);
    out[3] = static_cast<std::uint8_t>(protocol);
    out[4] = static_cast<std::uint8_t>(field >> 8);
    out[5] = static_cast<std::uint8_t>(field);
    out[6] = 0x01;
    std::copy(pdu.begin(), pdu.end(), out.begin() + 7);
    return out;
}

const char *StatusName(FrameStatus s) {
    return s == FrameStatus::kComplete     ? "complete"
           : s == FrameStatus::kIncomplete ? "incomplete"
                                           : "malformed";
}

const Bytes kRead = {0x04, 0x00, 0x04, 0x00, 0x02};

Bytes Cut(const Bytes &bytes, std::size_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(size));
}

Bytes Then(Bytes bytes, std::uint8_t next) {
    bytes.push_back(next);
    return bytes;
}

struct FrameCase {
    const char *what;
    Bytes bytes;
    FrameStatus status;
    std::size_t size;  // the bytes needed, or taken
    RequestKind kind;  // when complete
};

const FrameCase kFrames[] = {
    {"nothing yet", {}, FrameStatus::kIncomplete, 7, RequestKind::kUnsupported},
    {"half a header", Cut(Request(kRead), 4), FrameStatus::kIncomplete, 7,
     RequestKind::kUnsupported},
    {"the header alone", Cut(Request(kRead), 7), FrameStatus::kIncomplete, 12,
     RequestKind::kUnsupported},
    {"a read", Request(kRead), FrameStatus::kComplete, 12, RequestKind::kRead},
    {"a read and the next one's first byte", Then(Request(kRead), 0x12), FrameStatus::kComplete, 12,
     RequestKind::kRead},
    {"protocol id 1", Request(kRead, -1, 1), FrameStatus::kMalformed, 7, RequestKind::kRead},
    {"protocol id 0x100", Request(kRead, -1, 0x100), FrameStatus::kMalformed, 7,
     RequestKind::kRead},
    {"length 0", Request(kRead, 0), FrameStatus::kMalformed, 7, RequestKind::kRead},
    {"length 1", Request(kRead, 1), FrameStatus::kMalformed, 7, RequestKind::kRead},
    {"length 255", Request(kRead, 255), FrameStatus::kMalformed, 7, RequestKind::kRead},
    {"length 300", Request(kRead, 300), FrameStatus::kMalformed, 7, RequestKind::kRead},
    {"length 0xFFFF", Request(kRead, 0xFFFF), FrameStatus::kMalformed, 7, RequestKind::kRead},
    {"length 254 waits for the whole", Request(kRead, 254), FrameStatus::kIncomplete, 260,
     RequestKind::kRead},
    {"a read one byte short", Request(kRead, 5), FrameStatus::kMalformed, 11, RequestKind::kRead},
    {"a read one byte long", Request({4, 0, 4, 0, 2, 0}), FrameStatus::kMalformed, 13,
     RequestKind::kRead},
    {"function 0", Request({0x00, 0, 0}), FrameStatus::kMalformed, 10, RequestKind::kRead},
    {"function 0x84", Request({0x84, 0, 0}), FrameStatus::kMalformed, 10, RequestKind::kRead},
    {"a single write", Request({6, 0, 1, 0x12, 0x34}), FrameStatus::kComplete, 12,
     RequestKind::kWrite},
    {"a coil write", Request({5, 0, 1, 0xFF, 0}), FrameStatus::kComplete, 12, RequestKind::kWrite},
    {"a multiple write", Request({0x10, 0, 0, 0, 2, 4, 1, 2, 3, 4}), FrameStatus::kComplete, 17,
     RequestKind::kWrite},
    {"coils", Request({0x0F, 0, 0, 0, 9, 2, 0xFF, 1}), FrameStatus::kComplete, 15,
     RequestKind::kWrite},
    {"a byte count beyond the PDU", Request({0x10, 0, 0, 0, 2, 6, 1, 2, 3, 4}),
     FrameStatus::kMalformed, 17, RequestKind::kWrite},
    {"a byte count short of the PDU", Request({0x10, 0, 0, 0, 2, 2, 1, 2, 3, 4}),
     FrameStatus::kMalformed, 17, RequestKind::kWrite},
    {"a multiple write without its byte count", Request({0x10, 0, 0, 0, 2}),
     FrameStatus::kMalformed, 12, RequestKind::kWrite},
    {"device identification", Request({0x2B, 0x0E, 1, 0}), FrameStatus::kComplete, 11,
     RequestKind::kIdentify},
    {"device identification cut", Request({0x2B, 0x0E, 1}), FrameStatus::kMalformed, 10,
     RequestKind::kIdentify},
    {"another MEI type", Request({0x2B, 0x0D, 0, 0, 0, 0}), FrameStatus::kComplete, 13,
     RequestKind::kUnsupported},
    {"diagnostics", Request({0x08, 0, 0, 0x12, 0x34}), FrameStatus::kComplete, 12,
     RequestKind::kUnsupported},
    {"report server id", Request({0x11}), FrameStatus::kComplete, 8, RequestKind::kUnsupported},
};

TEST(GatewayModbusFrame, TakesWholeRequestsAndRefusesWhatCannotBeFollowed) {
    for (const FrameCase &c : kFrames) {
        Frame f = ParseFrame(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(StatusName(f.status), std::string(StatusName(c.status))) << c.what;
        EXPECT_EQ(f.size, c.size) << c.what;
        if (f.status != FrameStatus::kIncomplete) {
            EXPECT_EQ(f.transaction, 0x1234) << c.what;
        }
        if (f.status == FrameStatus::kComplete) {
            EXPECT_EQ(f.kind, c.kind) << c.what;
            EXPECT_EQ(f.pdu, c.bytes.data() + 7) << c.what;
            EXPECT_EQ(f.pdu_size, f.size - 7) << c.what;
            EXPECT_EQ(f.unit, 1) << c.what;
        } else if (f.status == FrameStatus::kMalformed) {
            EXPECT_STRNE(f.why, "") << c.what;
        }
    }
}

std::string Text(const Bytes &b, std::size_t from) {
    return std::string(b.begin() + static_cast<long>(from), b.end());
}

const DeviceIdentity kId = {"qor", "qor-gateway", "1.2.3"};
const std::string kBasic = std::string("\x00\x03qor\x01\x0bqor-gateway\x02\x05", 20) + "1.2.3";

struct IdentityCase {
    const char *what;
    std::uint8_t code;
    std::uint8_t object;
    int exception;
    std::uint8_t objects;
    std::string listed;  // object id, length, value, for each
};

const IdentityCase kIdentities[] = {
    {"basic stream from 0", 1, 0, 0, 3, kBasic},
    {"basic stream from 2", 1, 2, 0, 1,
     "\x02\x05"
     "1.2.3"},
    {"basic stream from an unknown object starts over", 1, 0x80, 0, 3, kBasic},
    {"regular asked, basic given", 2, 0, 0, 3, kBasic},
    {"extended asked, basic given", 3, 0, 0, 3, kBasic},
    {"one object", 4, 1, 0, 1, "\x01\x0bqor-gateway"},
    {"one object it does not have", 4, 3, 2, 0, ""},
    {"read code 0", 0, 0, 3, 0, ""},
    {"read code 5", 5, 0, 3, 0, ""},
};

TEST(GatewayModbusFrame, IdentifiesTheGatewayAsMastersAskForIt) {
    for (const IdentityCase &c : kIdentities) {
        Bytes request = Request({0x2B, 0x0E, c.code, c.object});
        Frame f = ParseFrame(request.data(), request.size());
        ASSERT_EQ(f.kind, RequestKind::kIdentify) << c.what;
        int exception = -1;
        Bytes pdu = IdentificationPdu(f, kId, &exception);
        EXPECT_EQ(exception, c.exception) << c.what;
        if (c.exception != 0) {
            EXPECT_TRUE(pdu.empty()) << c.what;
            continue;
        }
        ASSERT_GE(pdu.size(), 7u) << c.what;
        // MEI type, the code asked, basic conformity by stream and by
        // object, nothing more follows.
        EXPECT_EQ(Bytes(pdu.begin(), pdu.begin() + 7),
                  (Bytes{0x2B, 0x0E, c.code, 0x81, 0x00, 0x00, c.objects}))
            << c.what;
        EXPECT_EQ(Text(pdu, 7), c.listed) << c.what;
    }
    // The whole answer carries the request's transaction and unit.
    Bytes request = Request({0x2B, 0x0E, 4, 0});
    Frame f = ParseFrame(request.data(), request.size());
    int exception = 0;
    Bytes adu = Adu(f, IdentificationPdu(f, kId, &exception));
    EXPECT_EQ(Bytes(adu.begin(), adu.begin() + 7), (Bytes{0x12, 0x34, 0, 0, 0, 13, 0x01}));
    EXPECT_EQ(adu.size(), 7u + 12u);
}

}  // namespace
}  // namespace qor::gateway
