// The module side of the protocol, free of any I/O: frames in, replies out.
// The I/O loops (server.cpp) feed bytes into a FrameAssembler and hand each
// complete frame to Simulator::Handle together with the current time, so
// everything here can be driven by tests with a clock they choose.
#ifndef QOR_SIM_PROTOCOL_H
#define QOR_SIM_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qor::sim {

// Values are kept as integer hundredths, so a limit set with HI comes back
// from RH exactly as it was written.
using Cents = std::int64_t;
constexpr Cents kMaxCents = 9999999;  // 99999.99

// "+00072.10": sign, five digits, point, two digits. Clamps to the field.
std::string FormatValue(Cents value);
// Parses exactly that nine-character layout; anything else is nothing.
std::optional<Cents> ParseValue(std::string_view field);

// Sum of the character codes modulo 256, and its two upper-case hex digits.
unsigned ChecksumOf(std::string_view text);
std::string ChecksumHex(std::string_view text);

// How the reading moves over time: base + amplitude * sin(2 pi t / period)
// plus uniform noise of at most +-noise. Amplitude and noise 0 give a
// constant reading, which is what tests that compare numbers want.
struct ReadingModel {
    double base = 72.10;
    double amplitude = 0.25;
    double period_s = 60.0;
    double noise = 0.01;
};

struct ModuleState {
    Cents high_limit = 10000;  // +00100.00
    char high_mode = 'L';
    Cents low_limit = -1000;  // -00010.00
    char low_mode = 'M';
    Cents setpoint = 0;
    Cents span_trim = 0;    // gain trim in hundredths of a percent
    Cents zero_trim = 0;    // added to the reading
    Cents zero_offset = 0;  // taken by CZ, subtracted by RZ
    Cents analog_out = 0;
    bool alarms_enabled = true;
    bool write_enabled = false;
    std::uint32_t events = 0;
    std::uint64_t bits = 0;
    std::uint16_t outputs = 0;
    std::uint64_t new_readings = 0;  // ND count, so each ND draws fresh noise
};

struct SimConfig {
    std::string addresses = "1";
    int di_bytes = 2;
    ReadingModel model;
    // Each module's high limit is 100.00 plus its place among the addresses
    // (0, 1, ...), so that a reply taken for another module's shows.
    bool distinct_limits = false;
};

class Simulator {
  public:
    explicit Simulator(SimConfig config);

    bool Serves(char address) const;

    // frame: the text from the prompt up to (not including) the CR.
    // Returns the reply including its CR, or nothing when no module served
    // here is addressed.
    //
    // A DO frame with four hex digits fits both "two bytes" and "one byte
    // plus checksum"; it is read as the latter when the last two digits are
    // the checksum of the rest. So without checksums a DO whose low byte
    // happens to equal the checksum of "$" address "DO" high-byte is taken
    // as one byte: the frame itself cannot tell the two apart.
    //
    // Each command is a row of the command table in protocol.cpp: its
    // letters, the data its frame carries, whether it needs a WE first, and
    // the function that answers it.
    std::optional<std::string> Handle(std::string_view frame, double now_s);

    // For tests and logs: the state of a served module (must be served).
    const ModuleState &State(char address) const;
    // The value RD would return at now_s.
    Cents Reading(char address, double now_s) const;

  private:
    SimConfig config_;
    std::map<char, ModuleState> modules_;
};

// Collects link bytes into frames: characters before a prompt ("$" or "#")
// are ignored, a prompt always starts a fresh frame, CR ends it, and a frame
// longer than max_len characters is dropped whole.
class FrameAssembler {
  public:
    explicit FrameAssembler(std::size_t max_len = 64) : max_len_(max_len) {}

    std::optional<std::string> Feed(char c);
    void Reset();

  private:
    std::size_t max_len_;
    std::string buf_;
    bool in_frame_ = false;
    bool too_long_ = false;
};

}  // namespace qor::sim

#endif
