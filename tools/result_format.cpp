// What qor prints for a result or a failure. Values are formatted from an
// integer count of hundredths rather than with printf, so the output never
// depends on the locale and always matches the two decimals the module sent.
#include <cmath>
#include <string>

#include "cli.h"

namespace qor::cli {

std::string FormatFixed2(double value) {
    if (!std::isfinite(value)) {
        return "nan";
    }
    const long long hundredths = std::llround(value * 100.0);
    const unsigned long long magnitude = hundredths < 0
                                             ? 0ULL - static_cast<unsigned long long>(hundredths)
                                             : static_cast<unsigned long long>(hundredths);
    std::string fraction = std::to_string(magnitude % 100);
    if (fraction.size() < 2) {
        fraction.insert(0, 1, '0');
    }
    return (hundredths < 0 ? "-" : "") + std::to_string(magnitude / 100) + "." + fraction;
}

std::string ModeWord(int mode) {
    if (mode == 1) {
        return "latching";
    }
    if (mode == 0) {
        return "momentary";
    }
    return "none";
}

std::string FormatResult(ResultKind kind, const Outcome &out) {
    switch (kind) {
        case ResultKind::kValue:
            return FormatFixed2(out.value);
        case ResultKind::kLimit:
            return FormatFixed2(out.value) + " " + ModeWord(out.mode);
        case ResultKind::kCount:
        case ResultKind::kBit:
            return std::to_string(out.count);
        case ResultKind::kNone:
            return "ok";
    }
    return "";
}

std::string DescribeFailure(int status, int error) {
    const std::string pair =
        "(status " + std::to_string(status) + ", error " + std::to_string(error);
    if (status == 100 && error == 1) {
        return "no reply " + pair + "): the module did not answer";
    }
    if (status == 100 && error == 2) {
        return "module fault " + pair + "): the reply's checksum did not match";
    }
    if (status == 100) {
        std::string code = pair;
        if (error > 32 && error < 127) {
            code += " '" + std::string(1, static_cast<char>(error)) + "'";
        }
        return "module fault " + code + "): the module answered with an error reply";
    }
    if (status == 200 && error == 1) {
        return "link fault " + pair + "): the frame could not be written to the link";
    }
    if (status == 200 && error == 2) {
        return "link fault " + pair + "): the DI reply held fewer hex digits than requested";
    }
    if (status == 200 && error == 3) {
        return "link fault " + pair +
               "): the arguments cannot be put into a frame, nothing was sent";
    }
    return "unexpected result " + pair + ")";
}

int ExitCodeFor(int status) {
    if (status == 0) {
        return kExitOk;
    }
    return status == 200 ? kExitLinkFault : kExitModuleFault;
}

bool ModuleAnswered(int status, int error) {
    return status == 0 || (status == 100 && error != 1);
}

std::string CsvHeader(ResultKind kind) {
    return kind == ResultKind::kLimit ? "time,value,mode,status,error" : "time,value,status,error";
}

std::string CsvRow(const std::string &time, ResultKind kind, const Outcome &out) {
    // A failed row leaves the value empty, so a plot never shows a fake 0.
    const bool ok = out.status == 0;
    std::string row = time + ",";
    if (kind == ResultKind::kLimit) {
        row += ok ? FormatFixed2(out.value) + "," + ModeWord(out.mode) : std::string(",");
    } else if (ok) {
        row += FormatResult(kind, out);
    }
    return row + "," + std::to_string(out.status) + "," + std::to_string(out.error);
}

}  // namespace qor::cli
