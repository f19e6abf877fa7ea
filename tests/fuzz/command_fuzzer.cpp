// Feeds arbitrary link input and arguments into every command export over a
// link double, and checks what must hold whatever the link delivers:
//  - status and error form one of the documented pairs;
//  - the returned value is 0 whenever the status is not 0;
//  - every frame the library writes is well formed, and what reaches the
//    link is a prefix of it;
//  - a two-step command never sends its second frame after a failed first;
//  - (with the sanitizers) no memory error, no undefined behaviour.
//
// Input layout: one byte selecting the export, one byte of switches, then
// the arguments (five 32-bit integers and one float, raw), one byte for the
// number of characters the link accepts before refusing (255: all), and the
// rest is what the link delivers, where 0xF0 followed by 0x00 is a literal
// 0xF0 and 0xF0 followed by anything else is a -1 from the link.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "library_state.h"
#include "qor_dll.h"

namespace {

const std::uint8_t *link_data;
std::size_t link_size;
std::size_t link_at;
int accept_limit;
int written_count;
std::string frame_sent;           // characters of the frame now being written
std::vector<std::string> frames;  // the complete frames the library built

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "invariant broken: %s: [%s]\n", what, detail.c_str());
    std::abort();
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool IsValueField(const std::string &f) {
    if (f.size() != 9 || (f[0] != '+' && f[0] != '-') || f[6] != '.') {
        return false;
    }
    for (int i = 1; i < 9; ++i) {
        if (i != 6 && (f[i] < '0' || f[i] > '9')) {
            return false;
        }
    }
    return true;
}

// Prompt, address, letters, the command's field, optional checksum, CR.
void CheckFrame(const std::string &frame) {
    if (frame.size() < 5 || frame[0] != '$' || frame.back() != '\r') {
        Fail("frame layout", frame);
    }
    if (frame[1] == '\0' || (static_cast<unsigned char>(frame[1]) & 0x80) != 0) {
        Fail("frame address", frame);
    }
    std::string body = frame.substr(0, frame.size() - 1);
    if (qor::CmdChecksum != 0) {
        if (body.size() < 4 || !IsHex(body[body.size() - 2]) || !IsHex(body.back())) {
            Fail("frame checksum digits", frame);
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i + 2 < body.size(); ++i) {
            sum += static_cast<unsigned char>(body[i]);
        }
        char expected[3];
        std::snprintf(expected, sizeof expected, "%02X", sum & 0xFF);
        if (body.compare(body.size() - 2, 2, expected) != 0) {
            Fail("frame checksum", frame);
        }
        body.resize(body.size() - 2);
    }
    std::string rest = body.substr(2);
    auto letters = [&](const char *l) { return rest.compare(0, std::strlen(l), l) == 0; };
    std::string field = rest.size() >= 2 ? rest.substr(2) : "";
    static const char *plain[] = {"CA", "CE", "CZ", "DA", "DI", "EA", "EC", "RD",
                                  "RE", "RH", "RL", "RR", "RZ", "ND", "WE"};
    for (const char *p : plain) {
        if (rest == p) {
            return;
        }
    }
    if (rest == "ACK") {
        return;
    }
    if ((letters("RB") || letters("SB") || letters("CB")) && field.size() == 2 && IsHex(field[0]) &&
        IsHex(field[1]) && field[0] <= '3') {
        return;
    }
    if (letters("DO") && (field.size() == 2 || field.size() == 4)) {
        bool hex = true;
        for (char c : field) {
            hex = hex && IsHex(c);
        }
        if (hex) {
            return;
        }
    }
    if ((letters("AO") || letters("SP") || letters("TS") || letters("TZ")) && IsValueField(field)) {
        return;
    }
    if ((letters("HI") || letters("LO")) &&
        (IsValueField(field) || (field.size() == 10 && IsValueField(field.substr(0, 9)) &&
                                 (field[9] == 'L' || field[9] == 'M')))) {
        return;
    }
    Fail("frame contents", frame);
}

template <typename T>
T Take(const std::uint8_t *&data, std::size_t &size) {
    T value{};
    std::size_t n = size < sizeof(T) ? size : sizeof(T);
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

}  // namespace

extern "C" int QOR_WriteByte(int, int character) {
    if (frame_sent.empty()) {
        // A new frame starts: the library has built it completely by now.
        frames.emplace_back(qor::FrameBuffer);
        CheckFrame(frames.back());
    }
    frame_sent += static_cast<char>(character);
    if (frames.back().compare(0, frame_sent.size(), frame_sent) != 0) {
        Fail("written characters differ from the frame", frame_sent);
    }
    if (accept_limit >= 0 && written_count >= accept_limit) {
        frame_sent.clear();
        return 0;
    }
    ++written_count;
    // The frame ends with its last character (an address may itself be a CR).
    if (frame_sent.size() == frames.back().size()) {
        frame_sent.clear();
    }
    return 1;
}

extern "C" int QOR_ReadByte(int) {
    if (link_at >= link_size) {
        return -1;
    }
    std::uint8_t c = link_data[link_at++];
    if (c == 0xF0 && link_at < link_size) {
        if (link_data[link_at++] != 0x00) {
            return -1;
        }
    }
    return c;
}

namespace {

// The arguments one run passes, taken from the input.
struct Arguments {
    int address;
    int a;
    int b;
    int c;
    int d;
    float value;
};

// What a call wrote and returned.
struct Result {
    int status = -7;
    int error = -7;
    int mode = -7;
    double returned = 0;
};

// One row per export: how it is called, and what its outcome may be.
struct Export {
    void (*call)(const Arguments &x, Result &r);
    bool returns_data;   // a value or count rather than the status
    bool value_command;  // may refuse its value (status 200, error 3)
    bool two_step;       // WE first
    bool input_bits;     // DI: may find too few digits (200/2)
};

const Export kExports[] = {
    {[](const Arguments &x, Result &r) { r.returned = QOR_RD(1, x.address, &r.status, &r.error); },
     true, false, false, false},
    {[](const Arguments &x, Result &r) { r.returned = QOR_ND(1, x.address, &r.status, &r.error); },
     true, false, false, false},
    {[](const Arguments &x, Result &r) { r.returned = QOR_RZ(1, x.address, &r.status, &r.error); },
     true, false, false, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_RH(1, x.address, &r.mode, &r.status, &r.error);
     },
     true, false, false, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_RL(1, x.address, &r.mode, &r.status, &r.error);
     },
     true, false, false, false},
    {[](const Arguments &x, Result &r) { r.returned = QOR_RE(1, x.address, &r.status, &r.error); },
     true, false, false, false},
    {[](const Arguments &x, Result &r) { r.returned = QOR_EC(1, x.address, &r.status, &r.error); },
     true, false, true, false},
    {[](const Arguments &x, Result &r) { r.returned = QOR_CA(1, x.address, &r.status, &r.error); },
     false, false, true, false},
    {[](const Arguments &x, Result &r) { r.returned = QOR_CE(1, x.address, &r.status, &r.error); },
     false, false, true, false},
    {[](const Arguments &x, Result &r) { r.returned = QOR_CZ(1, x.address, &r.status, &r.error); },
     false, false, true, false},
    {[](const Arguments &x, Result &r) { r.returned = QOR_DA(1, x.address, &r.status, &r.error); },
     false, false, true, false},
    {[](const Arguments &x, Result &r) { r.returned = QOR_EA(1, x.address, &r.status, &r.error); },
     false, false, true, false},
    {[](const Arguments &x, Result &r) { r.returned = QOR_RR(1, x.address, &r.status, &r.error); },
     false, false, true, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_HI(1, x.address, x.b, x.value, &r.status, &r.error);
     },
     false, true, true, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_LO(1, x.address, x.b, x.value, &r.status, &r.error);
     },
     false, true, true, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_SP(1, x.address, x.value, &r.status, &r.error);
     },
     false, true, true, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_TS(1, x.address, x.value, &r.status, &r.error);
     },
     false, true, true, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_TZ(1, x.address, x.value, &r.status, &r.error);
     },
     false, true, true, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_AO(1, x.address, x.value, &r.status, &r.error);
     },
     false, true, false, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_DO(1, x.address, x.b, x.c, x.d, &r.status, &r.error);
     },
     false, false, false, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_DI(1, x.address, x.b % 32, x.c % 32, x.d, &r.status, &r.error);
     },
     true, false, false, true},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_RB(1, x.address, x.b, &r.status, &r.error);
     },
     true, false, false, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_SB(1, x.address, x.b, &r.status, &r.error);
     },
     false, false, false, false},
    {[](const Arguments &x, Result &r) {
         r.returned = QOR_CB(1, x.address, x.b, &r.status, &r.error);
     },
     false, false, false, false},
};

// RH and RL, which also report a mode.
bool ReportsMode(std::uint8_t which) {
    return which == 3 || which == 4;
}

void CheckOutcome(const Export &e, bool reports_mode, const Arguments &x, const Result &r) {
    const std::string pair = std::to_string(r.status) + "/" + std::to_string(r.error);
    const bool documented = (r.status == 0 && r.error == 0) || (r.status == 100) ||
                            (r.status == 200 && (r.error == 1 || r.error == 3)) ||
                            (r.status == 200 && r.error == 2 && e.input_bits);
    if (!documented) {
        Fail("undocumented status and error", pair);
    }
    if (r.status == 100 && r.error != 1 && r.error != 2 && (r.error < -128 || r.error > 127)) {
        Fail("error code outside a signed byte", pair);
    }
    if (r.status == 200 && r.error == 3 && !frames.empty()) {
        Fail("refused arguments, yet a frame was sent", pair);
    }
    if (r.status == 200 && r.error == 3 && !e.value_command && !e.input_bits &&
        (x.address & 0x7F) != 0) {
        Fail("arguments refused for no reason", pair);
    }
    // Commands without data return their status; the others return data,
    // which must be 0 when the transaction failed.
    if (e.returns_data && r.status != 0 && r.returned != 0) {
        Fail("value returned with a failed transaction", pair + " " + std::to_string(r.returned));
    }
    if (!e.returns_data && r.returned != r.status) {
        Fail("status returned differs from the status written", pair);
    }
    if (r.status != 0 && reports_mode && r.mode != -1) {
        Fail("mode reported with a failed transaction", pair);
    }
    if (e.two_step && frames.size() == 2 && frames[0].compare(2, 2, "WE") != 0) {
        Fail("second frame without a write enable first", frames[0]);
    }
    if (frames.size() > 2) {
        Fail("more than two frames in one transaction", pair);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::uint8_t which = Take<std::uint8_t>(data, size) % 24;
    const std::uint8_t switches = Take<std::uint8_t>(data, size);
    Arguments x{};
    x.a = Take<std::int32_t>(data, size);
    x.b = Take<std::int32_t>(data, size);
    x.c = Take<std::int32_t>(data, size);
    x.d = Take<std::int32_t>(data, size);
    x.value = Take<float>(data, size);
    const std::uint8_t limit = Take<std::uint8_t>(data, size);
    // Most runs use a printable address, so that the replies get exercised.
    x.address = (switches & 4) ? x.a : '1' + (x.a & 7);

    link_data = data;
    link_size = size;
    link_at = 0;
    accept_limit = limit == 255 ? -1 : limit;
    written_count = 0;
    frame_sent.clear();
    frames.clear();
    QOR_EnableCmdChecksum(switches & 1);
    QOR_EnableDebug(0);

    Result r;
    kExports[which].call(x, r);
    CheckOutcome(kExports[which], ReportsMode(which), x, r);
    return 0;
}
