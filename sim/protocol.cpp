#include "protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qorsim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::uint32_t kEventWrap = 10000000;  // the count has seven digits
constexpr double kConversionsPerSecond = 10.0;

Cents clamp_cents(Cents v) {
    return std::clamp(v, -kMaxCents, kMaxCents);
}

Cents to_cents(double v) {
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

int hex_digit(char c) {
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
int hex_byte(std::string_view two) {
    if (two.size() != 2) {
        return -1;
    }
    const int hi = hex_digit(two[0]);
    const int lo = hex_digit(two[1]);
    return (hi < 0 || lo < 0) ? -1 : hi * 16 + lo;
}

std::string hex2(unsigned v) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[(v >> 4) & 15], digits[v & 15]};
}

// A fixed, well-mixed hash so the noise is repeatable per address and
// sample without keeping a generator in the state.
double unit_noise(char address, std::uint64_t sample) {
    std::uint64_t z = sample * 0x9E3779B97F4A7C15ull + static_cast<unsigned char>(address);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / static_cast<double>(1ull << 52) - 1.0;  // [-1, 1)
}

// The data each command carries in its frame, which fixes the lengths at
// which a trailing checksum can be recognised.
enum class Data {
    None,   // nothing
    Value,  // nine-character value field
    Limit,  // value field, optional mode letter
    Bit,    // two hex digits
    Bytes,  // two or four hex digits
};

struct Command {
    const char *name;
    Data data;
    bool needs_write_enable;
};

constexpr Command kCommands[] = {
    {"ACK", Data::None, false},  // before the two-letter names
    {"RD", Data::None, false},  {"ND", Data::None, false},  {"RZ", Data::None, false},
    {"RH", Data::None, false},  {"RL", Data::None, false},  {"RE", Data::None, false},
    {"WE", Data::None, false},  {"EC", Data::None, true},   {"CA", Data::None, true},
    {"CE", Data::None, true},   {"CZ", Data::None, true},   {"DA", Data::None, true},
    {"EA", Data::None, true},   {"RR", Data::None, true},   {"HI", Data::Limit, true},
    {"LO", Data::Limit, true},  {"SP", Data::Value, true},  {"TS", Data::Value, true},
    {"TZ", Data::Value, true},  {"AO", Data::Value, false}, {"DO", Data::Bytes, false},
    {"DI", Data::None, false},  {"RB", Data::Bit, false},   {"SB", Data::Bit, false},
    {"CB", Data::Bit, false},
};

const Command *find_command(std::string_view body) {
    for (const Command &c : kCommands) {
        if (body.substr(0, std::strlen(c.name)) == c.name) {
            return &c;
        }
    }
    return nullptr;
}

// Whether the frame's last two characters are the checksum of the rest.
bool checksum_matches(std::string_view frame) {
    if (frame.size() < 3) {
        return false;
    }
    const int sent = hex_byte(frame.substr(frame.size() - 2));
    return sent >= 0 &&
           static_cast<unsigned>(sent) == checksum_of(frame.substr(0, frame.size() - 2));
}

enum class Trailer { Absent, Present, Ambiguous, BadLength };

// Decides from the length of what follows the command letters whether a
// checksum is there. HI/LO take 9 or 10 characters without a checksum and
// 11 or 12 with one: a checksum digit is never "L" or "M", so the lengths do
// not overlap. DO takes 2 or 4 hex digits, and 4 may equally be one byte
// plus a checksum.
Trailer classify(Data data, std::size_t n) {
    switch (data) {
        case Data::None:
            return n == 0 ? Trailer::Absent : n == 2 ? Trailer::Present : Trailer::BadLength;
        case Data::Value:
            return n == 9 ? Trailer::Absent : n == 11 ? Trailer::Present : Trailer::BadLength;
        case Data::Limit:
            return (n == 9 || n == 10)    ? Trailer::Absent
                   : (n == 11 || n == 12) ? Trailer::Present
                                          : Trailer::BadLength;
        case Data::Bit:
            return n == 2 ? Trailer::Absent : n == 4 ? Trailer::Present : Trailer::BadLength;
        case Data::Bytes:
            return n == 2   ? Trailer::Absent
                   : n == 4 ? Trailer::Ambiguous
                   : n == 6 ? Trailer::Present
                            : Trailer::BadLength;
    }
    return Trailer::BadLength;
}

std::string count7(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%07u", static_cast<unsigned>(v % kEventWrap));
    return buf;
}

}  // namespace

std::string format_value(Cents value) {
    const Cents v = clamp_cents(value);
    const Cents mag = v < 0 ? -v : v;
    char buf[48];  // room for any long long; clamping keeps it to nine
    std::snprintf(buf, sizeof buf, "%c%05lld.%02lld", v < 0 ? '-' : '+',
                  static_cast<long long>(mag / 100), static_cast<long long>(mag % 100));
    return buf;
}

std::optional<Cents> parse_value(std::string_view f) {
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

unsigned checksum_of(std::string_view text) {
    unsigned sum = 0;
    for (char c : text) {
        sum += static_cast<unsigned char>(c);
    }
    return sum & 0xFF;
}

std::string checksum_hex(std::string_view text) {
    return hex2(checksum_of(text));
}

Simulator::Simulator(SimConfig config) : config_(std::move(config)) {
    if (config_.addresses.empty()) {
        config_.addresses = "1";
    }
    config_.di_bytes = std::clamp(config_.di_bytes, 1, 24);
    for (char a : config_.addresses) {
        modules_[a] = ModuleState{};
    }
}

bool Simulator::serves(char address) const {
    return modules_.count(address) != 0;
}

const ModuleState &Simulator::state(char address) const {
    return modules_.at(address);
}

Cents Simulator::reading_with_noise(char address, double now_s, std::uint64_t sample) const {
    const ModuleState &st = modules_.at(address);
    const ReadingModel &m = config_.model;
    double raw = m.base + m.noise * unit_noise(address, sample);
    if (m.period_s > 0) {
        raw += m.amplitude * std::sin(2.0 * kPi * now_s / m.period_s);
    }
    const double gain = 1.0 + static_cast<double>(st.span_trim) / 10000.0;
    return to_cents(raw * gain + static_cast<double>(st.zero_trim) / 100.0);
}

Cents Simulator::reading(char address, double now_s) const {
    // RD returns the last conversion; conversions run at a fixed rate, so
    // RDs close together see the same noise.
    const double t = std::max(0.0, now_s);
    return reading_with_noise(address, t, static_cast<std::uint64_t>(t * kConversionsPerSecond));
}

std::string Simulator::input_hex(char address) const {
    // Byte 1 (the last) and byte 2 loop back the outputs' low and high
    // bytes; any further byte k holds the fixed value k.
    const ModuleState &st = modules_.at(address);
    std::string out;
    for (int k = config_.di_bytes; k >= 1; --k) {
        const unsigned v = k == 1 ? (st.outputs & 0xFFu) : k == 2 ? (st.outputs >> 8) : unsigned(k);
        out += hex2(v);
    }
    return out;
}

std::optional<std::string> Simulator::handle(std::string_view frame, double now_s) {
    if (frame.size() < 2 || (frame[0] != '$' && frame[0] != '#')) {
        return std::nullopt;
    }
    const char address = frame[1];
    auto it = modules_.find(address);
    if (it == modules_.end()) {
        return std::nullopt;
    }
    ModuleState &st = it->second;
    auto error = [address](const char *word) {
        return std::string("?") + address + " " + word + "\r";
    };

    const std::string_view body = frame.substr(2);
    const Command *cmd = find_command(body);
    if (cmd == nullptr) {
        return error("UNKNOWN COMMAND");
    }
    const std::string name = cmd->name;
    const std::string_view rest = body.substr(name.size());

    bool has_checksum = false;
    switch (classify(cmd->data, rest.size())) {
        case Trailer::BadLength:
            return error("SYNTAX");
        case Trailer::Absent:
            has_checksum = false;
            break;
        case Trailer::Present:
            has_checksum = true;
            break;
        case Trailer::Ambiguous:
            // One byte plus checksum when the digits add up, else two bytes.
            has_checksum = checksum_matches(frame);
            break;
    }
    if (has_checksum && !checksum_matches(frame)) {
        return error("CHECKSUM");
    }
    const std::string_view data = rest.substr(0, rest.size() - (has_checksum ? 2 : 0));

    if (cmd->needs_write_enable && !st.write_enabled) {
        return error("WRITE PROTECTED");
    }

    // What follows "*" in the short layout, and after the command letters in
    // the long one (they differ only for RB, which echoes the bit number).
    std::string reply_data;
    std::string long_data;
    bool long_data_set = false;

    if (name == "RD" || name == "ND") {
        const Cents v = name == "RD"
                            ? reading(address, now_s)
                            : reading_with_noise(address, now_s, (1ull << 63) | st.new_readings++);
        st.events = (st.events + 1) % kEventWrap;
        reply_data = format_value(v);
    } else if (name == "RZ") {
        reply_data = format_value(clamp_cents(reading(address, now_s) - st.zero_offset));
    } else if (name == "RH") {
        reply_data = format_value(st.high_limit) + st.high_mode;
    } else if (name == "RL") {
        reply_data = format_value(st.low_limit) + st.low_mode;
    } else if (name == "RE") {
        reply_data = count7(st.events);
    } else if (name == "EC") {
        reply_data = count7(st.events);
        st.events = 0;
    } else if (name == "WE" || name == "ACK" || name == "CA" || name == "CE") {
        // Accepted; calibration has nothing to adjust in a simulated input.
    } else if (name == "CZ") {
        st.zero_offset = reading(address, now_s);
    } else if (name == "DA" || name == "EA") {
        st.alarms_enabled = name == "EA";
    } else if (name == "RR") {
        st = ModuleState{};
    } else if (name == "HI" || name == "LO") {
        const std::optional<Cents> v = parse_value(data.substr(0, 9));
        if (!v) {
            return error("SYNTAX");
        }
        char mode = name == "HI" ? st.high_mode : st.low_mode;
        if (data.size() == 10) {
            mode = data[9];
            if (mode != 'L' && mode != 'M') {
                return error("SYNTAX");
            }
        }
        (name == "HI" ? st.high_limit : st.low_limit) = *v;
        (name == "HI" ? st.high_mode : st.low_mode) = mode;
    } else if (name == "SP" || name == "TS" || name == "TZ" || name == "AO") {
        const std::optional<Cents> v = parse_value(data);
        if (!v) {
            return error("SYNTAX");
        }
        if (name == "SP") {
            st.setpoint = *v;
        } else if (name == "TS") {
            // A span trim of -100 % or less would leave no gain at all.
            if (*v <= -10000) {
                return error("RANGE");
            }
            st.span_trim = *v;
        } else if (name == "TZ") {
            st.zero_trim = *v;
        } else {
            st.analog_out = *v;
        }
    } else if (name == "DO") {
        const int first = hex_byte(data.substr(0, 2));
        const int second = data.size() == 4 ? hex_byte(data.substr(2, 2)) : 0;
        if (first < 0 || second < 0) {
            return error("SYNTAX");
        }
        if (data.size() == 4) {
            st.outputs = static_cast<std::uint16_t>((first << 8) | second);
        } else {
            st.outputs = static_cast<std::uint16_t>((st.outputs & 0xFF00u) | unsigned(first));
        }
    } else if (name == "DI") {
        reply_data = input_hex(address);
    } else if (name == "RB" || name == "SB" || name == "CB") {
        const int bit = hex_byte(data);
        if (bit < 0) {
            return error("SYNTAX");
        }
        if (bit > 63) {
            return error("RANGE");
        }
        const std::uint64_t mask = 1ull << bit;
        if (name == "SB") {
            st.bits |= mask;
        } else if (name == "CB") {
            st.bits &= ~mask;
        } else {
            reply_data = (st.bits & mask) ? "1" : "0";
            long_data = std::string(data) + reply_data;
            long_data_set = true;
        }
    }

    st.write_enabled = name == "WE";

    const bool long_layout =
        frame[0] == '#' || (has_checksum && (name == "EC" || name == "RB" || name == "DI"));
    if (!long_layout) {
        return "*" + reply_data + "\r";
    }
    std::string r = "*";
    r += address;
    r += name;
    r += long_data_set ? long_data : reply_data;
    r += checksum_hex(r);
    r += '\r';
    return r;
}

std::optional<std::string> FrameAssembler::feed(char c) {
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

void FrameAssembler::reset() {
    buf_.clear();
    in_frame_ = false;
    too_long_ = false;
}

}  // namespace qorsim
