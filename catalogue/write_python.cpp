// Writes the catalogue's rows, the value limits and the trace words as a
// Python module (python/qor/_catalogue.py), so that the Python package reads
// the very rows qor and qor-gateway are built with.
//   qor_write_catalogue FILE
//   qor_write_catalogue --trace-samples   (events worded, for the tests)
#include <charconv>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "catalogue/catalogue.h"
#include "common/trace_words.h"

namespace {

using qor::catalogue::ArgKind;
using qor::catalogue::ResultKind;

const char *ArgName(ArgKind kind) {
    switch (kind) {
        case ArgKind::kValue:
            return "value";
        case ArgKind::kMode:
            return "mode";
        case ArgKind::kByte:
            return "byte";
        case ArgKind::kOptByte:
            return "opt_byte";
        case ArgKind::kDiCount:
            return "di_count";
        case ArgKind::kDiIndex:
            return "di_index";
        case ArgKind::kDiBit:
            return "di_bit";
        case ArgKind::kBitNumber:
            return "bit_number";
    }
    return "";
}

const char *ResultName(ResultKind kind) {
    switch (kind) {
        case ResultKind::kValue:
            return "value";
        case ResultKind::kLimit:
            return "limit";
        case ResultKind::kCount:
            return "count";
        case ResultKind::kBit:
            return "bit";
        case ResultKind::kNone:
            return "none";
    }
    return "";
}

std::string Quoted(const char *text) {
    if (text == nullptr) {
        return "None";
    }
    std::string out = "\"";
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') {
            out += '\\';
        }
        out += *c;
    }
    return out + "\"";
}

std::string Number(double value) {
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : "0";
}

void WriteCommands(std::ofstream &out) {
    out << "#: One row per export: word, letters, descriptive name, export, argument\n"
           "#: kinds, result kind, query (poll may repeat it), why a retry must not\n"
           "#: repeat it (None: safe to repeat), summary.\n"
           "COMMANDS = (\n";
    for (const qor::catalogue::Command &c : qor::catalogue::kCatalogue) {
        out << "    Command(" << Quoted(c.word) << ", " << Quoted(c.letters) << ", "
            << Quoted(c.descriptive) << ", " << Quoted(c.export_name) << ", (";
        for (std::size_t i = 0; i < c.arg_count; ++i) {
            out << Quoted(ArgName(c.args[i])) << ", ";
        }
        out << "), " << Quoted(ResultName(c.result)) << ", " << (c.query ? "True" : "False")
            << ",\n            " << Quoted(c.repeat_hazard) << ",\n            "
            << Quoted(c.summary) << "),\n";
    }
    out << ")\n\n";
}

void WriteArgs(std::ofstream &out) {
    out << "#: Each argument kind: as a synopsis shows it, optional, lowest and highest\n"
           "#: value (di_index: at most its count).\n"
           "ARGS = {\n";
    for (const qor::catalogue::ArgInfo &a : qor::catalogue::kArgs) {
        out << "    " << Quoted(ArgName(a.kind)) << ": Arg(" << Quoted(a.word) << ", "
            << (a.optional ? "True" : "False") << ", " << a.low << ", " << a.high << "),\n";
    }
    out << "}\n\n";
}

void WriteTraceForms(std::ofstream &out) {
    out << "#: The words of each trace event kind (QOR_TRACE_...), as qor --trace and\n"
           "#: qor-gateway --verbose word them: the form, and the form once part of a\n"
           "#: reply came (None: the same).\n"
           "TRACE_FORMS = {\n";
    for (const qor::text::TraceForm &f : qor::text::kTraceForms) {
        out << "    " << f.kind << ": (" << Quoted(f.form) << ", " << Quoted(f.after_reply)
            << "),\n";
    }
    out << "}\nUNKNOWN_TRACE_FORM = " << Quoted(qor::text::kUnknownTraceForm) << "\n";
}

// Events of every kind, with bytes that need escaping, for the Python
// package's test that its filling of the forms words them as this does.
struct Sample {
    int kind;
    std::string_view bytes;
    int milliseconds;
    const char *text;
    bool reply_seen;
};

constexpr Sample kSamples[] = {
    {QOR_TRACE_WRITE, "$1RD\r", 0, "", false},
    {QOR_TRACE_READ, "*+00072.10\r", 0, "", false},
    {QOR_TRACE_READ, "*+0007", 0, "", true},
    {QOR_TRACE_TIMEOUT, "", 30, "", false},
    {QOR_TRACE_TIMEOUT, "", 200, "", true},
    {QOR_TRACE_DISCARD, "\x1b[2J\r\n", 0, "", false},
    {QOR_TRACE_RECOVERY, "", 120, "", false},
    {QOR_TRACE_OPEN, "", 0, "socket://127.0.0.1:4001", false},
    {QOR_TRACE_REOPEN, "", 0, "/dev/ttyUSB0", false},
    {QOR_TRACE_OPEN_FAILED, "", 0, "cannot open /dev/x: no such device", false},
    {QOR_TRACE_CLOSE, "", 0, "", false},
    {QOR_TRACE_LINK_LOST, "", 0, "connection reset\t", false},
    {QOR_TRACE_REFUSED, "", 0,
     "refused: \x07"
     "bell",
     false},
    {QOR_TRACE_QUIET_PERIOD, "", 400, "late input", false},
    {99, "", 0, "", false},
};

std::string Hex(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    }
    return out;
}

// One line per sample: kind, milliseconds, reply seen (0/1), the bytes in
// hex, the text in hex, and the words.
void PrintSamples() {
    for (const Sample &s : kSamples) {
        std::printf(
            "%d\t%d\t%d\t%s\t%s\t%s\n", s.kind, s.milliseconds, s.reply_seen ? 1 : 0,
            Hex(s.bytes).c_str(), Hex(s.text).c_str(),
            qor::text::TraceWords(s.kind, s.bytes, s.milliseconds, s.text, s.reply_seen).c_str());
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--trace-samples") {
        PrintSamples();
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: qor_write_catalogue FILE | --trace-samples\n");
        return 2;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << "\"\"\"The library's commands as every front end sees them.\n\n"
           "Written by the build (qor_write_catalogue, from catalogue/catalogue.h and\n"
           "common/trace_words.h): do not edit. The qor tool and qor-gateway are built\n"
           "with the same rows.\n"
           "\"\"\"\n\n"
           "from collections import namedtuple\n\n"
           "Command = namedtuple(\"Command\", \"word letters descriptive export args result query "
           "\"\n"
           "                     \"repeat_hazard summary\")\n"
           "Arg = namedtuple(\"Arg\", \"word optional low high\")\n\n"
           "#: Magnitudes from here on round to 100000.00, which no value field carries.\n"
           "VALUE_LIMIT = "
        << Number(qor::catalogue::kValueLimit)
        << "\n#: The largest value a field shows.\nMAX_VALUE = "
        << Number(qor::catalogue::kValueMax) << "\n\n";
    WriteCommands(out);
    WriteArgs(out);
    WriteTraceForms(out);
    out.close();
    if (!out) {
        std::fprintf(stderr, "qor_write_catalogue: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
