// Command line of qor-sim.
#ifndef QOR_SIM_OPTIONS_H
#define QOR_SIM_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/protocol.h"

namespace qor::sim {

enum class Mode { kPty, kListen };

struct Options {
    Mode mode = Mode::kPty;
    std::string host = "127.0.0.1";
    std::string port = "0";
    SimConfig sim;
    FaultOptions faults;
    int drop_after = 0;  // 0: never
    bool log = false;
    bool help = false;
    bool version = false;
};

struct ParseResult {
    std::optional<Options> options;
    std::string error;  // set when options is empty
};

// args: the arguments after the program name.
ParseResult ParseArgs(const std::vector<std::string> &args);

// "HOST:PORT", ":PORT", "PORT" or "[v6]:PORT"; false with a message when bad.
bool ParseListen(const std::string &where, std::string &host, std::string &port,
                 std::string &error);

// Turns \r, \n, \t, \\ and \xHH in a garbage text into the characters.
std::optional<std::string> Unescape(const std::string &text);

const char *UsageText();

}  // namespace qor::sim

#endif
