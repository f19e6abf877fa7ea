#include "sim/protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qor::sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::uint32_t kEventWrap = 10000000;  // the count has seven digits
constexpr double kConversionsPerSecond = 10.0;

Cents ClampCents(Cents v) {
    return std::clamp(v, -kMaxCents, kMaxCents);
}

Cents ToCents(double v) {
    if (!std::isfinite(v)) {
        return v < 0 ? -kMaxCents : kMaxCents;
    }
    const double c = std::round(v * 100.0);
    if (c > static_cast<double>(kMaxCents)) {
        return kMaxCents;
    }
    if (c < -static_cast<double>(kMaxCents)) {
        return -kMaxCents;
    }
    return static_cast<Cents>(c);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Two hex digits (either case) to 0..255, or -1.
int HexByte(std::string_view two) {
    if (two.size() != 2) {
        return -1;
    }
    const int hi = HexDigit(two[0]);
    const int lo = HexDigit(two[1]);
    return (hi < 0 || lo < 0) ? -1 : hi * 16 + lo;
}

std::string Hex2(unsigned v) {
    static const char kDigits[] = "0123456789ABCDEF";
    return {kDigits[(v >> 4) & 15], kDigits[v & 15]};
}

// A fixed, well-mixed hash so the noise is repeatable per address and
// sample without keeping a generator in the state.
double UnitNoise(char address, std::uint64_t sample) {
    std::uint64_t z = sample * 0x9E3779B97F4A7C15ull + static_cast<unsigned char>(address);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / static_cast<double>(1ull << 52) - 1.0;  // [-1, 1)
}

Cents ReadingWithNoise(const ReadingModel &m, const ModuleState &st, char address, double now_s,
                       std::uint64_t sample) {
    double raw = m.base + m.noise * UnitNoise(address, sample);
    if (m.period_s > 0) {
        raw += m.amplitude * std::sin(2.0 * kPi * now_s / m.period_s);
    }
    const double gain = 1.0 + static_cast<double>(st.span_trim) / 10000.0;
    return ToCents(raw * gain + static_cast<double>(st.zero_trim) / 100.0);
}

// RD returns the last conversion; conversions run at a fixed rate, so RDs
// close together see the same noise.
Cents ConvertedReading(const ReadingModel &m, const ModuleState &st, char address, double now_s) {
    const double t = std::max(0.0, now_s);
    return ReadingWithNoise(m, st, address, t,
                            static_cast<std::uint64_t>(t * kConversionsPerSecond));
}

std::string Count7(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%07u", static_cast<unsigned>(v % kEventWrap));
    return buf;
}

// One frame for one module, taken apart, and what its command answers.
struct Exchange {
    const SimConfig &config;
    ModuleState &state;
    char address;
    std::string_view name;  // the command letters
    std::string_view data;  // what follows them, without a checksum
    double now_s;
    // What follows "*" in the short layout, and after the command letters in
    // the long one when that differs (RB echoes the bit number there).
    std::string reply_data;
    std::optional<std::string> long_data;
};

// The command functions: each answers one command (or a pair that differ
// in one field) and returns nullptr, or the error word of the reply.
using Answer = const char *(*)(Exchange &x);

const char *Accept(Exchange &) {
    // WE and ACK need no answer data; calibration has nothing to adjust in a
    // simulated input.
    return nullptr;
}

const char *ReadValue(Exchange &x) {
    const bool fresh = x.name == "ND";
    const Cents v = fresh ? ReadingWithNoise(x.config.model, x.state, x.address, x.now_s,
                                             (1ull << 63) | x.state.new_readings++)
                          : ConvertedReading(x.config.model, x.state, x.address, x.now_s);
    x.state.events = (x.state.events + 1) % kEventWrap;
    x.reply_data = FormatValue(v);
    return nullptr;
}

const char *ReadZeroed(Exchange &x) {
    const Cents v = ConvertedReading(x.config.model, x.state, x.address, x.now_s);
    x.reply_data = FormatValue(ClampCents(v - x.state.zero_offset));
    return nullptr;
}

const char *TakeZero(Exchange &x) {
    x.state.zero_offset = ConvertedReading(x.config.model, x.state, x.address, x.now_s);
    return nullptr;
}

const char *ReadLimit(Exchange &x) {
    const bool high = x.name == "RH";
    x.reply_data = FormatValue(high ? x.state.high_limit : x.state.low_limit) +
                   (high ? x.state.high_mode : x.state.low_mode);
    return nullptr;
}

const char *SetLimit(Exchange &x) {
    const std::optional<Cents> v = ParseValue(x.data.substr(0, 9));
    if (!v) {
        return "SYNTAX";
    }
    const bool high = x.name == "HI";
    char &mode = high ? x.state.high_mode : x.state.low_mode;
    if (x.data.size() == 10 && x.data[9] != 'L' && x.data[9] != 'M') {
        return "SYNTAX";
    }
    if (x.data.size() == 10) {
        mode = x.data[9];
    }
    (high ? x.state.high_limit : x.state.low_limit) = *v;
    return nullptr;
}

const char *ReadEvents(Exchange &x) {
    x.reply_data = Count7(x.state.events);
    if (x.name == "EC") {
        x.state.events = 0;
    }
    return nullptr;
}

const char *SwitchAlarms(Exchange &x) {
    x.state.alarms_enabled = x.name == "EA";
    return nullptr;
}

const char *ResetModule(Exchange &x) {
    x.state = ModuleState{};
    return nullptr;
}

// SP, TS, TZ and AO: one value field into one setting.
const char *SetValue(Exchange &x) {
    const std::optional<Cents> v = ParseValue(x.data);
    if (!v) {
        return "SYNTAX";
    }
    if (x.name == "TS" && *v <= -10000) {
        return "RANGE";  // a span trim of -100 % or less would leave no gain at all
    }
    Cents &setting = x.name == "SP"   ? x.state.setpoint
                     : x.name == "TS" ? x.state.span_trim
                     : x.name == "TZ" ? x.state.zero_trim
                                      : x.state.analog_out;
    setting = *v;
    return nullptr;
}

const char *SetOutputs(Exchange &x) {
    const int first = HexByte(x.data.substr(0, 2));
    const int second = x.data.size() == 4 ? HexByte(x.data.substr(2, 2)) : 0;
    if (first < 0 || second < 0) {
        return "SYNTAX";
    }
    if (x.data.size() == 4) {
        x.state.outputs = static_cast<std::uint16_t>((first << 8) | second);
    } else {
        x.state.outputs = static_cast<std::uint16_t>((x.state.outputs & 0xFF00u) | unsigned(first));
    }
    return nullptr;
}

const char *ReadInputs(Exchange &x) {
    // Byte 1 (the last) and byte 2 loop back the outputs' low and high
    // bytes; any further byte k holds the fixed value k.
    for (int k = x.config.di_bytes; k >= 1; --k) {
        const unsigned v = k == 1   ? (x.state.outputs & 0xFFu)
                           : k == 2 ? (x.state.outputs >> 8)
                                    : unsigned(k);
        x.reply_data += Hex2(v);
    }
    return nullptr;
}

// RB, SB and CB.
const char *UseBit(Exchange &x) {
    const int bit = HexByte(x.data);
    if (bit < 0) {
        return "SYNTAX";
    }
    if (bit > 63) {
        return "RANGE";
    }
    const std::uint64_t mask = 1ull << bit;
    if (x.name == "SB") {
        x.state.bits |= mask;
    } else if (x.name == "CB") {
        x.state.bits &= ~mask;
    } else {
        x.reply_data = (x.state.bits & mask) ? "1" : "0";
        x.long_data = std::string(x.data) + x.reply_data;
    }
    return nullptr;
}

// The data each command carries in its frame, which fixes the lengths at
// which a trailing checksum can be recognised.
enum class Data {
    kNone,   // nothing
    kValue,  // nine-character value field
    kLimit,  // value field, optional mode letter
    kBit,    // two hex digits
    kBytes,  // two or four hex digits
};

struct Command {
    const char *name;
    Data data;
    bool needs_write_enable;
    Answer answer;
};

constexpr Command kCommands[] = {
    {"ACK", Data::kNone, false, Accept},  // before the two-letter names
    {"RD", Data::kNone, false, ReadValue},   {"ND", Data::kNone, false, ReadValue},
    {"RZ", Data::kNone, false, ReadZeroed},  {"RH", Data::kNone, false, ReadLimit},
    {"RL", Data::kNone, false, ReadLimit},   {"RE", Data::kNone, false, ReadEvents},
    {"WE", Data::kNone, false, Accept},      {"EC", Data::kNone, true, ReadEvents},
    {"CA", Data::kNone, true, Accept},       {"CE", Data::kNone, true, Accept},
    {"CZ", Data::kNone, true, TakeZero},     {"DA", Data::kNone, true, SwitchAlarms},
    {"EA", Data::kNone, true, SwitchAlarms}, {"RR", Data::kNone, true, ResetModule},
    {"HI", Data::kLimit, true, SetLimit},    {"LO", Data::kLimit, true, SetLimit},
    {"SP", Data::kValue, true, SetValue},    {"TS", Data::kValue, true, SetValue},
    {"TZ", Data::kValue, true, SetValue},    {"AO", Data::kValue, false, SetValue},
    {"DO", Data::kBytes, false, SetOutputs}, {"DI", Data::kNone, false, ReadInputs},
    {"RB", Data::kBit, false, UseBit},       {"SB", Data::kBit, false, UseBit},
    {"CB", Data::kBit, false, UseBit},
};

const Command *FindCommand(std::string_view body) {
    for (const Command &c : kCommands) {
        if (body.substr(0, std::strlen(c.name)) == c.name) {
            return &c;
        }
    }
    return nullptr;
}

// Whether the frame's last two characters are the checksum of the rest.
bool ChecksumMatches(std::string_view frame) {
    if (frame.size() < 3) {
        return false;
    }
    const int sent = HexByte(frame.substr(frame.size() - 2));
    return sent >= 0 &&
           static_cast<unsigned>(sent) == ChecksumOf(frame.substr(0, frame.size() - 2));
}

enum class Trailer { kAbsent, kPresent, kAmbiguous, kBadLength };

// Decides from the length of what follows the command letters whether a
// checksum is there. HI/LO take 9 or 10 characters without a checksum and
// 11 or 12 with one: a checksum digit is never "L" or "M", so the lengths do
// not overlap. DO takes 2 or 4 hex digits, and 4 may equally be one byte
// plus a checksum.
Trailer Classify(Data data, std::size_t n) {
    switch (data) {
        case Data::kNone:
            return n == 0 ? Trailer::kAbsent : n == 2 ? Trailer::kPresent : Trailer::kBadLength;
        case Data::kValue:
            return n == 9 ? Trailer::kAbsent : n == 11 ? Trailer::kPresent : Trailer::kBadLength;
        case Data::kLimit:
            return (n == 9 || n == 10)    ? Trailer::kAbsent
                   : (n == 11 || n == 12) ? Trailer::kPresent
                                          : Trailer::kBadLength;
        case Data::kBit:
            return n == 2 ? Trailer::kAbsent : n == 4 ? Trailer::kPresent : Trailer::kBadLength;
        case Data::kBytes:
            return n == 2   ? Trailer::kAbsent
                   : n == 4 ? Trailer::kAmbiguous
                   : n == 6 ? Trailer::kPresent
                            : Trailer::kBadLength;
    }
    return Trailer::kBadLength;
}

// Whether the frame carries a checksum after `rest` (what follows the
// command letters); false in length_ok when no layout has that length.
bool HasChecksum(const Command &command, std::string_view frame, std::string_view rest,
                 bool &length_ok) {
    length_ok = true;
    switch (Classify(command.data, rest.size())) {
        case Trailer::kBadLength:
            length_ok = false;
            return false;
        case Trailer::kAbsent:
            return false;
        case Trailer::kPresent:
            return true;
        case Trailer::kAmbiguous:
            // One byte plus checksum when the digits add up, else two bytes.
            return ChecksumMatches(frame);
    }
    return false;
}

std::string ErrorReply(char address, const char *word) {
    return std::string("?") + address + " " + word + "\r";
}

// The short layout "*DATA", or the long one "*" address letters data
// checksum: asked for with "#", and the answer of EC, RB and DI to a frame
// with a checksum.
std::string Reply(char prompt, bool has_checksum, const Exchange &x) {
    const bool long_layout =
        prompt == '#' || (has_checksum && (x.name == "EC" || x.name == "RB" || x.name == "DI"));
    if (!long_layout) {
        return "*" + x.reply_data + "\r";
    }
    std::string r = "*";
    r += x.address;
    r += x.name;
    r += x.long_data ? *x.long_data : x.reply_data;
    r += ChecksumHex(r);
    r += '\r';
    return r;
}

}  // namespace

std::string FormatValue(Cents value) {
    const Cents v = ClampCents(value);
    const Cents mag = v < 0 ? -v : v;
    char buf[48];  // room for any long long; clamping keeps it to nine
    std::snprintf(buf, sizeof buf, "%c%05lld.%02lld", v < 0 ? '-' : '+',
                  static_cast<long long>(mag / 100), static_cast<long long>(mag % 100));
    return buf;
}

std::optional<Cents> ParseValue(std::string_view f) {
    if (f.size() != 9 || (f[0] != '+' && f[0] != '-') || f[6] != '.') {
        return std::nullopt;
    }
    Cents mag = 0;
    for (std::size_t i = 1; i < 9; ++i) {
        if (i == 6) {
            continue;
        }
        if (f[i] < '0' || f[i] > '9') {
            return std::nullopt;
        }
        mag = mag * 10 + (f[i] - '0');
    }
    return f[0] == '-' ? -mag : mag;
}

unsigned ChecksumOf(std::string_view text) {
    unsigned sum = 0;
    for (char c : text) {
        sum += static_cast<unsigned char>(c);
    }
    return sum & 0xFF;
}

std::string ChecksumHex(std::string_view text) {
    return Hex2(ChecksumOf(text));
}

Simulator::Simulator(SimConfig config) : config_(std::move(config)) {
    if (config_.addresses.empty()) {
        config_.addresses = "1";
    }
    config_.di_bytes = std::clamp(config_.di_bytes, 1, 24);
    Cents place = 0;
    for (char a : config_.addresses) {
        modules_[a] = ModuleState{};
        if (config_.distinct_limits) {
            modules_[a].high_limit += 100 * place++;
        }
    }
}

bool Simulator::Serves(char address) const {
    return modules_.count(address) != 0;
}

const ModuleState &Simulator::State(char address) const {
    return modules_.at(address);
}

Cents Simulator::Reading(char address, double now_s) const {
    return ConvertedReading(config_.model, modules_.at(address), address, now_s);
}

std::optional<std::string> Simulator::Handle(std::string_view frame, double now_s) {
    if (frame.size() < 2 || (frame[0] != '$' && frame[0] != '#')) {
        return std::nullopt;
    }
    const char address = frame[1];
    auto it = modules_.find(address);
    if (it == modules_.end()) {
        return std::nullopt;
    }
    ModuleState &st = it->second;
    const std::string_view body = frame.substr(2);
    const Command *command = FindCommand(body);
    if (command == nullptr) {
        return ErrorReply(address, "UNKNOWN COMMAND");
    }
    const std::string_view name = command->name;
    const std::string_view rest = body.substr(name.size());
    bool length_ok = true;
    const bool has_checksum = HasChecksum(*command, frame, rest, length_ok);
    if (!length_ok) {
        return ErrorReply(address, "SYNTAX");
    }
    if (has_checksum && !ChecksumMatches(frame)) {
        return ErrorReply(address, "CHECKSUM");
    }
    if (command->needs_write_enable && !st.write_enabled) {
        return ErrorReply(address, "WRITE PROTECTED");
    }
    Exchange x{config_, st, address,     name, rest.substr(0, rest.size() - (has_checksum ? 2 : 0)),
               now_s,   "", std::nullopt};
    if (const char *error = command->answer(x)) {
        return ErrorReply(address, error);
    }
    // A WE enables the next command only.
    st.write_enabled = name == "WE";
    return Reply(frame[0], has_checksum, x);
}

std::optional<std::string> FrameAssembler::Feed(char c) {
    if (c == '$' || c == '#') {
        buf_.assign(1, c);
        in_frame_ = true;
        too_long_ = false;
        return std::nullopt;
    }
    if (!in_frame_) {
        return std::nullopt;
    }
    if (c == '\r') {
        in_frame_ = false;
        if (too_long_) {
            return std::nullopt;
        }
        return std::move(buf_);
    }
    if (buf_.size() >= max_len_) {
        too_long_ = true;
    } else {
        buf_ += c;
    }
    return std::nullopt;
}

void FrameAssembler::Reset() {
    buf_.clear();
    in_frame_ = false;
    too_long_ = false;
}

}  // namespace qor::sim
