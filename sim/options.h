// Command line of qor-sim.
#ifndef QOR_SIM_OPTIONS_H
#define QOR_SIM_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "faults.h"
#include "protocol.h"

namespace qorsim {

enum class Mode { Pty, Listen };

struct Options {
    Mode mode = Mode::Pty;
    std::string host = "127.0.0.1";
    std::string port = "0";
    SimConfig sim;
    FaultOptions faults;
    int drop_after = 0;  // 0: never
    bool log = false;
    bool help = false;
};

struct ParseResult {
    std::optional<Options> options;
    std::string error;  // set when options is empty
};

// args: the arguments after the program name.
ParseResult parse_args(const std::vector<std::string> &args);

// "HOST:PORT", ":PORT", "PORT" or "[v6]:PORT"; false with a message when bad.
bool parse_listen(const std::string &where, std::string &host, std::string &port,
                  std::string &error);

// Turns \r, \n, \t, \\ and \xHH in a garbage text into the characters.
std::optional<std::string> unescape(const std::string &text);

const char *usage_text();

}  // namespace qorsim

#endif
