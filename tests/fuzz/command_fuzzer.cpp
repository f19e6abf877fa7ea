// Feeds arbitrary link input and arguments into every command export over a
// link double, and checks what must hold whatever the link delivers:
//  - status and error form one of the documented pairs;
//  - the returned value is 0 whenever the status is not 0;
//  - every frame the library writes is well formed by the command table, and
//    nothing follows a character the link refused;
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

#include "engine/command_table.h"
#include "engine/library_state.h"
#include "qor_dll.h"

namespace {

const std::uint8_t *link_data;
std::size_t link_size;
std::size_t link_at;
int accept_limit;
int written_count;
bool checksum_on;
bool line_failed;                 // what QOR_ReplyOutOfForm answers
std::string frame_sent;           // characters of the frame now being written
bool frame_refused;               // the link refused one of them
std::vector<std::string> frames;  // the frames the library wrote, in order

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

// The table row whose letters open `rest`, or nullptr.
const qor::CommandInfo *RowFor(const std::string &rest) {
    for (const qor::CommandInfo &row : qor::kCommands) {
        if (rest.compare(0, std::strlen(row.letters), row.letters) == 0) {
            return &row;
        }
    }
    return nullptr;
}

bool IsHexText(const std::string &text) {
    for (char c : text) {
        if (!IsHex(c)) {
            return false;
        }
    }
    return true;
}

// The data after the letters, as the command table says the command
// carries it.
bool DataFits(qor::FrameData data, const std::string &field) {
    switch (data) {
        case qor::FrameData::kNothing:
            return field.empty();
        case qor::FrameData::kBitNumber:
            return field.size() == 2 && IsHexText(field) && field[0] <= '3';
        case qor::FrameData::kOutputBytes:
            return (field.size() == 2 || field.size() == 4) && IsHexText(field);
        case qor::FrameData::kValue:
            return IsValueField(field);
        case qor::FrameData::kValueAndMode:
            return IsValueField(field) || (field.size() == 10 && IsValueField(field.substr(0, 9)) &&
                                           (field[9] == 'L' || field[9] == 'M'));
    }
    return false;
}

// Prompt, address, letters, the command's data, optional checksum, CR.
void CheckFrame(const std::string &frame) {
    if (frame.size() < 5 || frame[0] != '$' || frame.back() != '\r') {
        Fail("frame layout", frame);
    }
    // An address is none of the characters frames are made of.
    if (frame[1] == '\0' || frame[1] == '$' || frame[1] == '\r' ||
        (static_cast<unsigned char>(frame[1]) & 0x80) != 0) {
        Fail("frame address", frame);
    }
    std::string body = frame.substr(0, frame.size() - 1);
    if (checksum_on) {
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
    const qor::CommandInfo *row = RowFor(rest);
    if (row == nullptr || !DataFits(row->data, rest.substr(std::strlen(row->letters)))) {
        Fail("frame contents", frame);
    }
}

// The frame now being written is over: the library went on to read its
// reply, or the call returned. A frame the link refused part-way is only a
// beginning; a complete one must be well formed.
void FinishFrame() {
    if (frame_sent.empty()) {
        return;
    }
    if (frame_refused) {
        if (frame_sent[0] != '$') {
            Fail("refused frame does not begin with the prompt", frame_sent);
        }
    } else {
        CheckFrame(frame_sent);
    }
    frames.push_back(frame_sent);
    frame_sent.clear();
    frame_refused = false;
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

// The 24 command exports, in the order the first input byte selects them
// (the seed corpus depends on it).
constexpr qor::CommandCode kExports[] = {
    qor::RD, qor::ND, qor::RZ, qor::RH, qor::RL, qor::RE, qor::EC, qor::CA,
    qor::CE, qor::CZ, qor::DA, qor::EA, qor::RR, qor::HI, qor::LO, qor::SP,
    qor::TS, qor::TZ, qor::AO, qor::DO, qor::DI, qor::RB, qor::SB, qor::CB,
};
constexpr std::size_t kExportCount = sizeof kExports / sizeof kExports[0];

bool ReturnsData(qor::CommandCode code) {
    switch (code) {
        case qor::RD:
        case qor::ND:
        case qor::RZ:
        case qor::RH:
        case qor::RL:
        case qor::RE:
        case qor::EC:
        case qor::DI:
        case qor::RB:
            return true;
        default:
            return false;
    }
}

// Calls the export of `code` with the fuzzed arguments.
double CallExport(qor::CommandCode code, int address, int b, int c, int d, float value, int *mode,
                  int *status, int *error) {
    switch (code) {
        case qor::RD:
            return QOR_RD(1, address, status, error);
        case qor::ND:
            return QOR_ND(1, address, status, error);
        case qor::RZ:
            return QOR_RZ(1, address, status, error);
        case qor::RH:
            return QOR_RH(1, address, mode, status, error);
        case qor::RL:
            return QOR_RL(1, address, mode, status, error);
        case qor::RE:
            return QOR_RE(1, address, status, error);
        case qor::EC:
            return QOR_EC(1, address, status, error);
        case qor::CA:
            return QOR_CA(1, address, status, error);
        case qor::CE:
            return QOR_CE(1, address, status, error);
        case qor::CZ:
            return QOR_CZ(1, address, status, error);
        case qor::DA:
            return QOR_DA(1, address, status, error);
        case qor::EA:
            return QOR_EA(1, address, status, error);
        case qor::RR:
            return QOR_RR(1, address, status, error);
        case qor::HI:
            return QOR_HI(1, address, b, value, status, error);
        case qor::LO:
            return QOR_LO(1, address, b, value, status, error);
        case qor::SP:
            return QOR_SP(1, address, value, status, error);
        case qor::TS:
            return QOR_TS(1, address, value, status, error);
        case qor::TZ:
            return QOR_TZ(1, address, value, status, error);
        case qor::AO:
            return QOR_AO(1, address, value, status, error);
        case qor::DO:
            return QOR_DO(1, address, b, c, d, status, error);
        case qor::DI:
            return QOR_DI(1, address, b % 32, c % 32, d, status, error);
        case qor::RB:
            return QOR_RB(1, address, b, status, error);
        case qor::SB:
            return QOR_SB(1, address, b, status, error);
        case qor::CB:
            return QOR_CB(1, address, b, status, error);
        default:
            Fail("no export for code", std::to_string(code));
    }
}

}  // namespace

extern "C" int QOR_WriteByte(int, int character) {
    if (frame_refused) {
        Fail("a character written after the link refused one", frame_sent);
    }
    frame_sent += static_cast<char>(character);
    if (accept_limit >= 0 && written_count >= accept_limit) {
        frame_refused = true;
        return 0;
    }
    ++written_count;
    return 1;
}

// The byte link's word on a reply out of form: refused on a line that has
// just failed (one run in two), read leniently on a calm one.
extern "C" int QOR_ReplyOutOfForm(int) {
    return line_failed ? 1 : 0;
}

extern "C" int QOR_ReadByte(int) {
    FinishFrame();
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

// What one run's call wrote and returned.
struct Outcome {
    qor::CommandCode code;
    int address;
    int status = -7;
    int error = -7;
    int mode = -7;
    double returned = 0;
};

// Status and error form a documented pair, and refusals have a reason.
void CheckPair(const Outcome &o) {
    const bool input_bits = o.code == qor::DI;
    // A reply field that does not hold what the command reads: DI's digits,
    // the number of a value query or a count.
    const bool reads_field = input_bits || o.code == qor::RD || o.code == qor::ND ||
                             o.code == qor::RZ || o.code == qor::RH || o.code == qor::RL ||
                             o.code == qor::RE || o.code == qor::EC;
    const std::string pair = std::to_string(o.status) + "/" + std::to_string(o.error);
    const bool documented = (o.status == 0 && o.error == 0) || (o.status == 100) ||
                            (o.status == 200 && (o.error == 1 || o.error == 3)) ||
                            (o.status == 200 && o.error == 2 && reads_field);
    if (!documented) {
        Fail("undocumented status and error", pair);
    }
    if (o.status == 100 && o.error != 1 && o.error != 2 && (o.error < -128 || o.error > 127)) {
        Fail("error code outside a signed byte", pair);
    }
    if (o.status == 200 && o.error == 3 && !frames.empty()) {
        Fail("refused arguments, yet a frame was sent", pair);
    }
    const int masked = o.address & 0x7F;
    if (o.status == 200 && o.error == 3 && !qor::CarriesValue(o.code) && !input_bits &&
        masked != 0 && masked != '$' && masked != '\r') {
        Fail("arguments refused for no reason", pair);
    }
}

// Data is 0 after a failure; status-only commands return their status; a
// second frame only ever follows a write enable.
void CheckResultAndFrames(const Outcome &o) {
    const std::string pair = std::to_string(o.status) + "/" + std::to_string(o.error);
    const bool returns_data = ReturnsData(o.code);
    if (returns_data && o.status != 0 && o.returned != 0) {
        Fail("value returned with a failed transaction", pair + " " + std::to_string(o.returned));
    }
    if (!returns_data && o.returned != o.status) {
        Fail("status returned differs from the status written", pair);
    }
    if (o.status != 0 && (o.code == qor::RH || o.code == qor::RL) && o.mode != -1) {
        Fail("mode reported with a failed transaction", pair);
    }
    if (qor::CommandOf(o.code).after_we && frames.size() == 2 &&
        frames[0].compare(2, 2, "WE") != 0) {
        Fail("second frame without a write enable first", frames[0]);
    }
    if (frames.size() > 2) {
        Fail("more than two frames in one transaction", pair);
    }
}

void StartRun(const std::uint8_t *data, std::size_t size, std::uint8_t limit,
              std::uint8_t switches) {
    link_data = data;
    link_size = size;
    link_at = 0;
    accept_limit = limit == 255 ? -1 : limit;
    written_count = 0;
    frame_sent.clear();
    frame_refused = false;
    frames.clear();
    checksum_on = (switches & 1) != 0;
    line_failed = (switches & 2) != 0;
    QOR_EnableCmdChecksum(switches & 1);
    QOR_EnableDebug(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::uint8_t which = Take<std::uint8_t>(data, size);
    const std::uint8_t switches = Take<std::uint8_t>(data, size);
    const int a = Take<std::int32_t>(data, size);
    const int b = Take<std::int32_t>(data, size);
    const int c = Take<std::int32_t>(data, size);
    const int d = Take<std::int32_t>(data, size);
    const float value = Take<float>(data, size);
    const std::uint8_t limit = Take<std::uint8_t>(data, size);
    StartRun(data, size, limit, switches);

    Outcome o{kExports[which % kExportCount],
              // Most runs use a printable address, so that the replies get
              // exercised.
              (switches & 4) ? a : '1' + (a & 7)};
    o.returned = CallExport(o.code, o.address, b, c, d, value, &o.mode, &o.status, &o.error);
    FinishFrame();
    CheckPair(o);
    CheckResultAndFrames(o);
    return 0;
}
