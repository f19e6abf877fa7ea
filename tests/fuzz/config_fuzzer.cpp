// Feeds arbitrary text to the gateway's configuration reader, as --check,
// the start and a reload read a file, and checks what must hold whatever
// the file says:
//  - a configuration comes back with no problem, or no configuration and
//    at least one problem: never a partial one, never a refusal without a
//    reason;
//  - each problem is one line, "FILE:LINE: reason", its line one of the
//    file's, and error holds the same lines;
//  - (with the sanitizers) no memory error, no undefined behaviour.
// Relative file names resolve into a folder that does not exist, so that
// the files the text names are the only ones it can reach.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gateway/core/config.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "invariant broken: %s: [%s]\n", what, detail.c_str());
    std::abort();
}

constexpr char kPath[] = "fuzz.toml";

// "fuzz.toml:LINE: reason" with LINE from 1 to the lines of the text.
void CheckProblem(const std::string &problem, std::size_t lines) {
    const std::string head = std::string(kPath) + ":";
    if (problem.rfind(head, 0) != 0) {
        Fail("a problem without the file's name", problem);
    }
    std::size_t colon = problem.find(": ", head.size());
    std::string line = problem.substr(head.size(), colon - head.size());
    if (colon == std::string::npos || line.empty() ||
        line.find_first_not_of("0123456789") != std::string::npos || line.size() > 9) {
        Fail("a problem without its line", problem);
    }
    unsigned long number = std::strtoul(line.c_str(), nullptr, 10);
    if (number < 1 || number > lines) {
        Fail("a problem on a line the file does not have", problem);
    }
    for (char c : problem) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            Fail("a problem that is not one printable line", problem);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    qor::gateway::ConfigResult result =
        qor::gateway::ParseConfig(text, kPath, "/nonexistent-qor-fuzz-folder");
    if (result.config) {
        if (!result.errors.empty() || !result.error.empty()) {
            Fail("a configuration with problems", result.error);
        }
        return 0;
    }
    if (result.errors.empty()) {
        Fail("refused without a reason", std::string(text));
    }
    // A text ending in a line break has a last, empty line too.
    std::size_t lines = 1;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    std::string joined;
    for (const std::string &problem : result.errors) {
        CheckProblem(problem, lines);
        joined += (joined.empty() ? "" : "\n") + problem;
    }
    if (joined != result.error) {
        Fail("error differs from the problems", result.error);
    }
    return 0;
}
