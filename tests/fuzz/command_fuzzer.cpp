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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::uint8_t which = Take<std::uint8_t>(data, size);
    std::uint8_t switches = Take<std::uint8_t>(data, size);
    int a = Take<std::int32_t>(data, size);
    int b = Take<std::int32_t>(data, size);
    int c = Take<std::int32_t>(data, size);
    int d = Take<std::int32_t>(data, size);
    float value = Take<float>(data, size);
    std::uint8_t limit = Take<std::uint8_t>(data, size);
    // Most runs use a printable address, so that the replies get exercised.
    int address = (switches & 4) ? a : '1' + (a & 7);

    link_data = data;
    link_size = size;
    link_at = 0;
    accept_limit = limit == 255 ? -1 : limit;
    written_count = 0;
    frame_sent.clear();
    frames.clear();
    QOR_EnableCmdChecksum(switches & 1);
    QOR_EnableDebug(0);

    int status = -7, error = -7, mode = -7;
    double result = 0;
    bool value_command = false, two_step = false, input_bits = false;
    switch (which % 24) {
        case 0:
            result = QOR_RD(1, address, &status, &error);
            break;
        case 1:
            result = QOR_ND(1, address, &status, &error);
            break;
        case 2:
            result = QOR_RZ(1, address, &status, &error);
            break;
        case 3:
            result = QOR_RH(1, address, &mode, &status, &error);
            break;
        case 4:
            result = QOR_RL(1, address, &mode, &status, &error);
            break;
        case 5:
            result = QOR_RE(1, address, &status, &error);
            break;
        case 6:
            result = QOR_EC(1, address, &status, &error);
            two_step = true;
            break;
        case 7:
            result = QOR_CA(1, address, &status, &error);
            two_step = true;
            break;
        case 8:
            result = QOR_CE(1, address, &status, &error);
            two_step = true;
            break;
        case 9:
            result = QOR_CZ(1, address, &status, &error);
            two_step = true;
            break;
        case 10:
            result = QOR_DA(1, address, &status, &error);
            two_step = true;
            break;
        case 11:
            result = QOR_EA(1, address, &status, &error);
            two_step = true;
            break;
        case 12:
            result = QOR_RR(1, address, &status, &error);
            two_step = true;
            break;
        case 13:
            result = QOR_HI(1, address, b, value, &status, &error);
            value_command = two_step = true;
            break;
        case 14:
            result = QOR_LO(1, address, b, value, &status, &error);
            value_command = two_step = true;
            break;
        case 15:
            result = QOR_SP(1, address, value, &status, &error);
            value_command = two_step = true;
            break;
        case 16:
            result = QOR_TS(1, address, value, &status, &error);
            value_command = two_step = true;
            break;
        case 17:
            result = QOR_TZ(1, address, value, &status, &error);
            value_command = two_step = true;
            break;
        case 18:
            result = QOR_AO(1, address, value, &status, &error);
            value_command = true;
            break;
        case 19:
            result = QOR_DO(1, address, b, c, d, &status, &error);
            break;
        case 20:
            result = QOR_DI(1, address, b % 32, c % 32, d, &status, &error);
            input_bits = true;
            break;
        case 21:
            result = QOR_RB(1, address, b, &status, &error);
            break;
        case 22:
            result = QOR_SB(1, address, b, &status, &error);
            break;
        case 23:
            result = QOR_CB(1, address, b, &status, &error);
            break;
    }

    std::string pair = std::to_string(status) + "/" + std::to_string(error);
    bool documented = (status == 0 && error == 0) || (status == 100) ||
                      (status == 200 && (error == 1 || error == 3)) ||
                      (status == 200 && error == 2 && input_bits);
    if (!documented) {
        Fail("undocumented status and error", pair);
    }
    if (status == 100 && error != 1 && error != 2 && (error < -128 || error > 127)) {
        Fail("error code outside a signed byte", pair);
    }
    if (status == 200 && error == 3 && !frames.empty()) {
        Fail("refused arguments, yet a frame was sent", pair);
    }
    if (status == 200 && error == 3 && !value_command && !input_bits && (address & 0x7F) != 0) {
        Fail("arguments refused for no reason", pair);
    }
    // Commands without data return their status; the others return data,
    // which must be 0 when the transaction failed.
    bool returns_data = (which % 24) <= 6 || (which % 24) == 20 || (which % 24) == 21;
    if (returns_data && status != 0 && result != 0) {
        Fail("value returned with a failed transaction", pair + " " + std::to_string(result));
    }
    if (!returns_data && result != status) {
        Fail("status returned differs from the status written", pair);
    }
    if (status != 0 && (which % 24 == 3 || which % 24 == 4) && mode != -1) {
        Fail("mode reported with a failed transaction", pair);
    }
    if (two_step && frames.size() == 2 && frames[0].compare(2, 2, "WE") != 0) {
        Fail("second frame without a write enable first", frames[0]);
    }
    if (frames.size() > 2) {
        Fail("more than two frames in one transaction", pair);
    }
    return 0;
}
