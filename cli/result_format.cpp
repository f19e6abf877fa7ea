// What qor prints for a result or a failure. Values are formatted from an
// integer count of hundredths rather than with printf, so the output never
// depends on the locale and always matches the two decimals the module sent.
#include <cmath>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "common/message_text.h"
#include "qor_dll.h"

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
    if (mode == QOR_MODE_LATCHING) {
        return "latching";
    }
    if (mode == QOR_MODE_MOMENTARY) {
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

namespace {

std::string Pair(int status, int error) {
    std::string pair = "(status " + std::to_string(status) + ", error " + std::to_string(error);
    if (status == QOR_STATUS_REPLY_FAULT && error > 32 && error < 127 &&
        error != QOR_ERROR_NO_REPLY && error != QOR_ERROR_REPLY_CHECKSUM) {
        pair += " '" + std::string(1, static_cast<char>(error)) + "'";
    }
    return pair + ")";
}

std::string Quoted(const std::string &reply) {
    return "\"" + Escape(reply) + "\"";
}

std::string Module(int address) {
    return "module " + Escape(std::string(1, static_cast<char>(address)));
}

// The byte link took a complete reply but refused to pair it with the
// frame: the module (or another) did answer, so this is no time-out.
std::string RefusedReply(const Failure &f) {
    static constexpr std::string_view kPrefix = "reply refused: ";
    std::string why = f.refused;
    if (why.compare(0, kPrefix.size(), kPrefix) == 0) {
        why.erase(0, kPrefix.size());
    }
    return "reply refused " + Pair(f.status, f.error) + ": the link did not take the reply " +
           (f.reply.empty() ? std::string() : Quoted(f.reply) + " ") + "to " + Module(f.address) +
           " on " + f.link + " as this frame's: " + Escape(why);
}

std::string NoReply(const Failure &f) {
    if (!f.refused.empty()) {
        return RefusedReply(f);
    }
    const std::string within = " within " + std::to_string(f.timeout_ms) + " ms";
    if (f.reply.empty()) {
        return "no reply " + Pair(f.status, f.error) + ": " + Module(f.address) +
               " did not answer on " + f.link + within;
    }
    return "no complete reply " + Pair(f.status, f.error) + ": " + Module(f.address) + " on " +
           f.link + " sent " + Quoted(f.reply) +
           ", cut off or longer than 50 characters (time-out " + std::to_string(f.timeout_ms) +
           " ms)";
}

std::string ReplyFault(const Failure &f) {
    const std::string head = "module fault " + Pair(f.status, f.error) + ": ";
    if (f.error == QOR_ERROR_REPLY_CHECKSUM) {
        return head + "the checksum of " + Module(f.address) + "'s reply " + Quoted(f.reply) +
               " did not match";
    }
    if (f.reply.empty()) {
        return head + Module(f.address) + " answered with an error reply";
    }
    return head + Module(f.address) + " answered " + Quoted(f.reply);
}

std::string LinkFault(const Failure &f) {
    const std::string pair = Pair(f.status, f.error);
    switch (f.error) {
        case QOR_ERROR_NOT_WRITTEN:
            return "link fault " + pair + " on " + f.link + ": " +
                   (f.port_error.empty() ? "the frame could not be written to the link"
                                         : Escape(f.port_error));
        case QOR_ERROR_REPLY_FIELD:
            if (f.di_count == 0) {  // a reading or a count
                return "no number " + pair + ": " + Module(f.address) +
                       (f.reply.empty()
                            ? "'s reply held no digit"
                            : " answered " + Quoted(f.reply) + ", which holds no digit");
            }
            return "bad DI reply " + pair + ": " + Module(f.address) + " answered " +
                   Quoted(f.reply) + ", not the " + std::to_string(2 * f.di_count) +
                   " hex digits asked for (" + std::to_string(f.di_count) + " bytes)";
        case QOR_ERROR_ARGUMENTS_REFUSED:
            return "refused " + pair +
                   ": the arguments cannot be put into a frame, nothing was sent";
        default:
            return "link fault " + pair + " on " + f.link;
    }
}

}  // namespace

std::string DescribeFailure(int status, int error) {
    const std::string pair = Pair(status, error);
    if (status == QOR_STATUS_REPLY_FAULT && error == QOR_ERROR_NO_REPLY) {
        return "no reply " + pair + ": the module did not answer";
    }
    if (status == QOR_STATUS_REPLY_FAULT && error == QOR_ERROR_REPLY_CHECKSUM) {
        return "module fault " + pair + ": the reply's checksum did not match";
    }
    if (status == QOR_STATUS_REPLY_FAULT) {
        return "module fault " + pair + ": the module answered with an error reply";
    }
    if (status == QOR_STATUS_LINK_FAULT && error == QOR_ERROR_NOT_WRITTEN) {
        return "link fault " + pair + ": the frame could not be written to the link";
    }
    if (status == QOR_STATUS_LINK_FAULT && error == QOR_ERROR_REPLY_FIELD) {
        return "bad reply field " + pair +
               ": not what the command reads (a number, or the hex digits asked for)";
    }
    if (status == QOR_STATUS_LINK_FAULT && error == QOR_ERROR_ARGUMENTS_REFUSED) {
        return "refused " + pair + ": the arguments cannot be put into a frame, nothing was sent";
    }
    return "unexpected result " + pair;
}

std::string DescribeFailure(const Failure &failure) {
    const std::string tries =
        failure.attempts > 1 ? " (" + std::to_string(failure.attempts) + " tries)" : "";
    if (failure.status == QOR_STATUS_REPLY_FAULT) {
        return failure.error == QOR_ERROR_NO_REPLY ? NoReply(failure) + tries : ReplyFault(failure);
    }
    if (failure.status == QOR_STATUS_LINK_FAULT) {
        return LinkFault(failure) + (failure.error == QOR_ERROR_NOT_WRITTEN ? tries : "");
    }
    return DescribeFailure(failure.status, failure.error);
}

int ExitCodeFor(int status) {
    if (status == QOR_STATUS_OK) {
        return kExitOk;
    }
    return status == QOR_STATUS_LINK_FAULT ? kExitLinkFault : kExitModuleFault;
}

bool ModuleAnswered(int status, int error) {
    return status == QOR_STATUS_OK ||
           (status == QOR_STATUS_REPLY_FAULT && error != QOR_ERROR_NO_REPLY) ||
           (status == QOR_STATUS_LINK_FAULT && error == QOR_ERROR_REPLY_FIELD);
}

std::string CsvHeader(ResultKind kind) {
    return kind == ResultKind::kLimit ? "time,value,mode,status,error" : "time,value,status,error";
}

std::string CsvRow(const std::string &time, ResultKind kind, const Outcome &out) {
    return time + "," + CsvCell(kind, out);
}

namespace {

// A CSV field, quoted when it holds a comma or a quote (an address can).
std::string CsvField(const std::string &text) {
    if (text.find_first_of(",\"") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

}  // namespace

std::string CsvCellHeader(const std::string &prefix, ResultKind kind) {
    std::string header = CsvField(prefix);
    if (kind == ResultKind::kLimit) {
        header += "," + CsvField(prefix + ":mode");
    }
    return header + "," + CsvField(prefix + ":status") + "," + CsvField(prefix + ":error");
}

std::string CsvCell(ResultKind kind, const Outcome &out) {
    // A failed cell leaves the value empty, so a plot never shows a fake 0.
    const bool ok = out.status == QOR_STATUS_OK;
    std::string cell;
    if (kind == ResultKind::kLimit) {
        cell = ok ? FormatFixed2(out.value) + "," + ModeWord(out.mode) : std::string(",");
    } else if (ok) {
        cell = FormatResult(kind, out);
    }
    return cell + "," + std::to_string(out.status) + "," + std::to_string(out.error);
}

std::string QueryName(const Invocation &invocation) {
    std::string name = invocation.row->name;
    for (const int n : invocation.ints) {
        name += " " + std::to_string(n);
    }
    return name;
}

}  // namespace qor::cli
