#include "options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace qorsim {

namespace {

bool parse_int(const std::string &s, long long lo, long long hi, long long &out) {
    if (s.empty() || s.size() > 20) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || end != s.c_str() + s.size() || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

bool parse_u64(const std::string &s, std::uint64_t &out) {
    if (s.empty() || s[0] == '-' || s[0] == '+') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    if (errno != 0 || end != s.c_str() + s.size()) {
        return false;
    }
    out = v;
    return true;
}

bool parse_rate(const std::string &s, double &out) {
    if (s.empty()) {
        return false;
    }
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !(v >= 0.0 && v <= 1.0)) {
        return false;
    }
    out = v;
    return true;
}

bool is_address_char(char c) {
    // Printable, and not one of the characters that frame a message.
    return c > ' ' && c < 127 && c != '$' && c != '#' && c != '*' && c != '?';
}

}  // namespace

bool parse_listen(const std::string &where, std::string &host, std::string &port,
                  std::string &error) {
    std::string h = "127.0.0.1";
    std::string p;
    if (!where.empty() && where[0] == '[') {
        const std::size_t close = where.find(']');
        if (close == std::string::npos || close + 1 >= where.size() || where[close + 1] != ':') {
            error = "--listen: expected [ADDRESS]:PORT";
            return false;
        }
        h = where.substr(1, close - 1);
        p = where.substr(close + 2);
    } else {
        const std::size_t colon = where.rfind(':');
        if (colon == std::string::npos) {
            p = where;
        } else {
            if (colon > 0) {
                h = where.substr(0, colon);
            }
            p = where.substr(colon + 1);
        }
    }
    long long n = 0;
    if (h.empty() || !parse_int(p, 0, 65535, n)) {
        error = "--listen: expected HOST:PORT with a port 0..65535, got \"" + where + "\"";
        return false;
    }
    host = h;
    port = std::to_string(n);
    return true;
}

std::optional<std::string> unescape(const std::string &text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i >= text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            case 'x': {
                if (i + 2 >= text.size() ||
                    !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                    !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                    return std::nullopt;
                }
                out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

ParseResult parse_args(const std::vector<std::string> &args) {
    ParseResult result;
    Options o;
    bool have_mode = false;
    std::string addresses;
    auto fail = [&result](std::string message) {
        result.error = std::move(message);
        return result;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inline_value;
        if (name.rfind("--", 0) == 0) {
            const std::size_t eq = name.find('=');
            if (eq != std::string::npos) {
                inline_value = name.substr(eq + 1);
                name.resize(eq);
            }
        }
        // Takes the option's value from "--name=value" or the next argument.
        auto value = [&](std::string &out) {
            if (inline_value) {
                out = *inline_value;
                return true;
            }
            if (i + 1 >= args.size()) {
                return false;
            }
            out = args[++i];
            return true;
        };
        auto int_value = [&](long long lo, long long hi, long long &out) {
            std::string v;
            return value(v) && parse_int(v, lo, hi, out);
        };
        auto no_value = [&]() { return !inline_value; };
        long long n = 0;
        std::string v;

        if (name == "--help" || name == "-h") {
            o.help = true;
            result.options = o;
            return result;
        } else if (name == "--pty" && no_value()) {
            if (have_mode) {
                return fail("choose one of --pty and --listen");
            }
            have_mode = true;
            o.mode = Mode::Pty;
        } else if (name == "--listen") {
            if (have_mode) {
                return fail("choose one of --pty and --listen");
            }
            if (!value(v)) {
                return fail("--listen needs HOST:PORT");
            }
            std::string error;
            if (!parse_listen(v, o.host, o.port, error)) {
                return fail(error);
            }
            have_mode = true;
            o.mode = Mode::Listen;
        } else if (name == "--address") {
            if (!value(v) || v.size() != 1 || !is_address_char(v[0])) {
                return fail("--address needs one printable character other than $ # * ?");
            }
            if (addresses.find(v[0]) == std::string::npos) {
                addresses += v[0];
            }
        } else if (name == "--di-bytes") {
            if (!int_value(1, 24, n)) {
                return fail("--di-bytes needs a number 1..24");
            }
            o.sim.di_bytes = static_cast<int>(n);
        } else if (name == "--steady" && no_value()) {
            o.sim.model.amplitude = 0;
            o.sim.model.noise = 0;
        } else if (name == "--silent" && no_value()) {
            o.faults.silent = true;
        } else if (name == "--delay-ms") {
            if (!int_value(0, 600000, n)) {
                return fail("--delay-ms needs a number of milliseconds 0..600000");
            }
            o.faults.delay_ms = static_cast<int>(n);
        } else if (name == "--garbage") {
            o.faults.garbage = true;
            std::string text;
            if (inline_value) {
                text = *inline_value;
            } else if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
                text = args[++i];
            } else {
                continue;  // keeps the default noise
            }
            const std::optional<std::string> raw = unescape(text);
            if (!raw || raw->empty()) {
                return fail("--garbage: bad escape or empty text");
            }
            o.faults.garbage_text = *raw;
        } else if (name == "--truncate" && no_value()) {
            o.faults.truncate = true;
        } else if (name == "--overlong") {
            if (!int_value(1, 4096, n)) {
                return fail("--overlong needs a length 1..4096");
            }
            o.faults.overlong = static_cast<int>(n);
        } else if (name == "--baud") {
            if (!int_value(50, 4000000, n)) {
                return fail("--baud needs a rate 50..4000000");
            }
            o.faults.baud = static_cast<int>(n);
        } else if (name == "--fault-rate") {
            if (!value(v) || !parse_rate(v, o.faults.fault_rate)) {
                return fail("--fault-rate needs a fraction 0..1");
            }
        } else if (name == "--seed") {
            if (!value(v) || !parse_u64(v, o.faults.seed)) {
                return fail("--seed needs an unsigned number");
            }
        } else if (name == "--drop-after") {
            if (!int_value(1, std::numeric_limits<int>::max(), n)) {
                return fail("--drop-after needs a count of at least 1");
            }
            o.drop_after = static_cast<int>(n);
        } else if (name == "--log" && no_value()) {
            o.log = true;
        } else {
            return fail("unknown argument \"" + args[i] + "\"");
        }
    }
    if (!have_mode) {
        return fail("choose one of --pty and --listen");
    }
    if (o.drop_after > 0 && o.mode != Mode::Listen) {
        return fail("--drop-after works with --listen only");
    }
    o.sim.addresses = addresses.empty() ? "1" : addresses;
    result.options = o;
    return result;
}

const char *usage_text() {
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
           "  --log               write every frame and reply to standard error\n"
           "Faults:\n"
           "  --silent            never answer\n"
           "  --delay-ms N        wait N ms before each reply\n"
           "  --garbage[=TEXT]    send TEXT (escapes \\r \\n \\t \\\\ \\xHH) before each reply\n"
           "  --truncate          send each reply without its final CR\n"
           "  --overlong N        pad each reply with '0' to N characters before the CR\n"
           "  --baud N            pace the link like a serial line at N baud\n"
           "  --fault-rate P      give a fraction P of replies one random fault (silence,\n"
           "                      a late reply, noise before it, cut, overlong)\n"
           "  --seed S            seed for --fault-rate (default 1)\n"
           "  --drop-after N      close each TCP connection after N replies\n"
           "SIGUSR1 silences the modules (as --silent) until the next SIGUSR1.\n"
           "Stops on SIGINT or SIGTERM with exit code 0; bad arguments exit with 2.\n";
}

}  // namespace qorsim
