// The options are read from a table, the same way as qor's (option_scan.h).
#include "sim/options.h"

#include <cctype>
#include <charconv>
#include <functional>
#include <limits>

#include "common/host_port.h"
#include "common/option_scan.h"

namespace qor::sim {
namespace {

using qor::text::OptionRow;
using qor::text::OptionValue;
using Value = std::optional<std::string>;

bool ParseU64(const std::string &s, std::uint64_t &out) {
    std::uint64_t v = 0;
    const char *end = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(s.data(), end, v, 10);
    if (s.empty() || ec != std::errc() || ptr != end) {
        return false;
    }
    out = v;
    return true;
}

bool ParseRate(const std::string &s, double &out) {
    double v = 0;
    const char *end = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(s.data(), end, v, std::chars_format::fixed);
    if (s.empty() || ec != std::errc() || ptr != end || !(v >= 0.0 && v <= 1.0)) {
        return false;
    }
    out = v;
    return true;
}

// "LOW-HIGH" or "MS" for how late a random late reply is.
bool ParseDelayRange(const std::string &s, FaultOptions &faults) {
    const std::size_t dash = s.find('-');
    long low = 0;
    long high = 0;
    if (dash == std::string::npos) {
        if (!qor::text::ParseInteger(s, 0, 600000, low)) {
            return false;
        }
        high = low;
    } else if (!qor::text::ParseInteger(s.substr(0, dash), 0, 600000, low) ||
               !qor::text::ParseInteger(s.substr(dash + 1), low, 600000, high)) {
        return false;
    }
    faults.fault_delay_low_ms = static_cast<int>(low);
    faults.fault_delay_high_ms = static_cast<int>(high);
    return true;
}

// "late,silence": the kinds a random fault is drawn from.
bool ParseFaultKinds(const std::string &s, FaultOptions &faults) {
    unsigned kinds = 0;
    std::size_t start = 0;
    while (start <= s.size()) {
        std::size_t comma = s.find(',', start);
        std::string name = s.substr(start, comma == std::string::npos ? comma : comma - start);
        unsigned bit = 0;
        for (unsigned k = 0; k < 5; ++k) {
            bit |= name == kFaultKindNames[k] ? 1U << k : 0U;
        }
        if (bit == 0) {
            return false;
        }
        kinds |= bit;
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    faults.fault_kinds = kinds;
    return true;
}

bool IsAddressChar(char c) {
    // Printable, and not one of the characters that frame a message.
    return c > ' ' && c < 127 && c != '$' && c != '#' && c != '*' && c != '?';
}

// An option whose value is an integer in [lo, hi]; any refusal reads "what".
OptionRow IntOption(const char *name, long lo, long hi, const char *what,
                    std::function<void(long)> store) {
    return {name, nullptr, OptionValue::kRequired, [=](const Value &v, std::string &error) {
                long n = 0;
                if (!qor::text::ParseInteger(*v, lo, hi, n)) {
                    error = what;
                    return false;
                }
                store(n);
                return true;
            }};
}

OptionRow Flag(const char *name, const char *alias, std::function<void()> set) {
    return {name, alias, OptionValue::kNone, [=](const Value &, std::string &) {
                set();
                return true;
            }};
}

// Both modes, each at most once.
OptionRow ModeOption(const char *name, Mode mode, Options &o, bool &have_mode) {
    const OptionValue takes = mode == Mode::kPty ? OptionValue::kNone : OptionValue::kRequired;
    return {name, nullptr, takes, [mode, &o, &have_mode](const Value &v, std::string &error) {
                if (have_mode) {
                    error = "choose one of --pty and --listen";
                    return false;
                }
                have_mode = true;
                o.mode = mode;
                return mode == Mode::kPty || ParseListen(*v, o.host, o.port, error);
            }};
}

std::vector<OptionRow> LinkOptions(Options &o, bool &have_mode, std::string &addresses) {
    return {
        Flag("--help", "-h", [&o] { o.help = true; }),
        Flag("--version", nullptr, [&o] { o.version = true; }),
        ModeOption("--pty", Mode::kPty, o, have_mode),
        ModeOption("--listen", Mode::kListen, o, have_mode),
        {"--address", nullptr, OptionValue::kRequired,
         [&addresses](const Value &v, std::string &error) {
             if (v->size() != 1 || !IsAddressChar((*v)[0])) {
                 error = "--address needs one printable character other than $ # * ?";
                 return false;
             }
             if (addresses.find((*v)[0]) == std::string::npos) {
                 addresses += (*v)[0];
             }
             return true;
         }},
        IntOption("--di-bytes", 1, 24, "--di-bytes needs a number 1..24",
                  [&o](long n) { o.sim.di_bytes = static_cast<int>(n); }),
        Flag("--steady", nullptr,
             [&o] {
                 o.sim.model.amplitude = 0;
                 o.sim.model.noise = 0;
             }),
        Flag("--distinct-limits", nullptr, [&o] { o.sim.distinct_limits = true; }),
        Flag("--log", nullptr, [&o] { o.log = true; }),
        IntOption("--drop-after", 1, std::numeric_limits<int>::max(),
                  "--drop-after needs a count of at least 1",
                  [&o](long n) { o.drop_after = static_cast<int>(n); }),
    };
}

std::vector<OptionRow> FaultOptionRows(FaultOptions &f) {
    return {
        Flag("--silent", nullptr, [&f] { f.silent = true; }),
        Flag("--truncate", nullptr, [&f] { f.truncate = true; }),
        Flag("--no-number", nullptr, [&f] { f.no_number = true; }),
        IntOption("--delay-ms", 0, 600000, "--delay-ms needs a number of milliseconds 0..600000",
                  [&f](long n) { f.delay_ms = static_cast<int>(n); }),
        IntOption("--overlong", 1, 4096, "--overlong needs a length 1..4096",
                  [&f](long n) { f.overlong = static_cast<int>(n); }),
        IntOption("--baud", 50, 4000000, "--baud needs a rate 50..4000000",
                  [&f](long n) { f.baud = static_cast<int>(n); }),
        {"--garbage", nullptr, OptionValue::kOptional,
         [&f](const Value &v, std::string &error) {
             f.garbage = true;
             if (!v) {
                 return true;  // keeps the default noise
             }
             const std::optional<std::string> raw = Unescape(*v);
             if (!raw || raw->empty()) {
                 error = "--garbage: bad escape or empty text";
                 return false;
             }
             f.garbage_text = *raw;
             return true;
         }},
        {"--fault-rate", nullptr, OptionValue::kRequired,
         [&f](const Value &v, std::string &error) {
             if (!ParseRate(*v, f.fault_rate)) {
                 error = "--fault-rate needs a fraction 0..1";
                 return false;
             }
             return true;
         }},
        {"--fault-delay-ms", nullptr, OptionValue::kRequired,
         [&f](const Value &v, std::string &error) {
             if (!ParseDelayRange(*v, f)) {
                 error = "--fault-delay-ms needs LOW-HIGH milliseconds, 0 <= LOW <= HIGH <= 600000";
                 return false;
             }
             return true;
         }},
        {"--fault-kinds", nullptr, OptionValue::kRequired,
         [&f](const Value &v, std::string &error) {
             if (!ParseFaultKinds(*v, f)) {
                 error = "--fault-kinds needs a list of silence, late, noise, cut, overlong";
                 return false;
             }
             return true;
         }},
        {"--seed", nullptr, OptionValue::kRequired,
         [&f](const Value &v, std::string &error) {
             if (!ParseU64(*v, f.seed)) {
                 error = "--seed needs an unsigned number";
                 return false;
             }
             return true;
         }},
    };
}

}  // namespace

// "PORT" alone is a port on 127.0.0.1, as is ":PORT"; port 0 asks the
// system for a free one.
bool ParseListen(const std::string &where, std::string &host, std::string &port,
                 std::string &error) {
    using qor::text::HostPortFault;
    const bool port_only = where.find(':') == std::string::npos && where.rfind('[', 0) != 0;
    const std::string text = port_only ? ":" + where : where;
    qor::text::HostPort parts;
    const HostPortFault fault =
        qor::text::SplitHostPort(text, &parts, qor::text::PortRule::kRequired, /*lowest=*/0);
    if (parts.bracketed && (fault == HostPortFault::kNoPort || parts.host.empty())) {
        error = "--listen: expected [ADDRESS]:PORT";
        return false;
    }
    if (fault != HostPortFault::kNone) {
        error = fault == HostPortFault::kBadBrackets
                    ? "--listen: expected [ADDRESS]:PORT"
                    : "--listen: expected HOST:PORT with a port 0..65535, got \"" + where + "\"";
        return false;
    }
    host = parts.host.empty() ? "127.0.0.1" : std::string(parts.host);
    port = std::to_string(parts.port);
    return true;
}

std::optional<std::string> Unescape(const std::string &text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i >= text.size()) {
            return std::nullopt;
        }
        const char c = text[i];
        if (c == 'x') {
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                return std::nullopt;
            }
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
            continue;
        }
        const std::string_view from = "rnt\\";
        const std::string_view to = "\r\n\t\\";
        const std::size_t at = from.find(c);
        if (at == std::string_view::npos) {
            return std::nullopt;
        }
        out += to[at];
    }
    return out;
}

ParseResult ParseArgs(const std::vector<std::string> &args) {
    ParseResult result;
    Options o;
    bool have_mode = false;
    std::string addresses;
    std::vector<OptionRow> table = LinkOptions(o, have_mode, addresses);
    for (OptionRow &row : FaultOptionRows(o.faults)) {
        table.push_back(std::move(row));
    }
    // Help and the version win over anything after them.
    table[0].ends_scan = true;
    table[1].ends_scan = true;
    std::vector<std::string> words;
    if (!qor::text::ScanOptions(args, table, words, result.error)) {
        return result;
    }
    if (o.help || o.version) {
        result.options = o;
        return result;
    }
    if (!words.empty()) {
        result.error = "unknown argument \"" + words.front() + "\"";
    } else if (!have_mode) {
        result.error = "choose one of --pty and --listen";
    } else if (o.drop_after > 0 && o.mode != Mode::kListen) {
        result.error = "--drop-after works with --listen only";
    } else {
        o.sim.addresses = addresses.empty() ? "1" : addresses;
        result.options = o;
    }
    return result;
}

const char *UsageText() {
    return "usage: qor-sim (--pty | --listen [HOST:]PORT) [options]\n"
           "\n"
           "Answers as one or more modules on one link.\n"
           "  --pty               make a pseudo-terminal and print its slave path\n"
           "  --listen HOST:PORT  serve raw TCP (default host 127.0.0.1, port 0 picks one)\n"
           "                      and print the address; clients may connect together,\n"
           "                      each is a link of its own, the modules are shared\n"
           "  --address A         module address character (repeatable, default 1)\n"
           "  --di-bytes N        input bytes in a DI reply, 1..24 (default 2)\n"
           "  --steady            constant reading +00072.10 (no drift, no noise)\n"
           "  --distinct-limits   high limits 100.00, 101.00, ... in --address order\n"
           "  --log               write every frame and reply to standard error\n"
           "Faults:\n"
           "  --silent            never answer\n"
           "  --delay-ms N        wait N ms before each reply\n"
           "  --garbage[=TEXT]    send TEXT (escapes \\r \\n \\t \\\\ \\xHH) before each reply\n"
           "  --truncate          send each reply without its final CR\n"
           "  --no-number         answer \"*\" alone to every query whose reply carries a\n"
           "                      number (RD ND RZ RH RL RE EC)\n"
           "  --overlong N        pad each reply with '0' to N characters before the CR\n"
           "  --baud N            pace the link like a serial line at N baud\n"
           "  --fault-rate P      give a fraction P of replies one random fault (silence,\n"
           "                      a late reply, noise before it, cut, overlong)\n"
           "  --fault-delay-ms LOW-HIGH\n"
           "                      how late a random late reply is (default 400-800)\n"
           "  --fault-kinds LIST  the random faults to draw from, e.g. late or\n"
           "                      silence,late (default all: silence, late, noise,\n"
           "                      cut, overlong)\n"
           "  --seed S            seed for --fault-rate (default 1)\n"
           "  --drop-after N      close each TCP connection after N replies\n"
           "  --version           print the version and exit\n"
           "SIGUSR1 silences the modules (as --silent) until the next SIGUSR1.\n"
           "Stops on SIGINT or SIGTERM with exit code 0; bad arguments exit with 2.\n";
}

}  // namespace qor::sim
