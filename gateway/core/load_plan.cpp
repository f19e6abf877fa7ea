#include "gateway/core/load_plan.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cmath>
#include <cstdlib>
#include <map>

#include "catalogue/catalogue.h"
#include "comm/target.h"

namespace qor::gateway {

namespace {

// The target's "?name=value&..." options, as given.
std::map<std::string, std::string> Options(const std::string &target) {
    std::map<std::string, std::string> options;
    std::size_t at = target.find('?');
    while (at != std::string::npos) {
        std::size_t end = target.find('&', at + 1);
        std::string item = target.substr(at + 1, end == std::string::npos ? end : end - at - 1);
        std::size_t equals = item.find('=');
        if (equals != std::string::npos) {
            options[item.substr(0, equals)] = item.substr(equals + 1);
        }
        at = end;
    }
    return options;
}

long Number(const std::map<std::string, std::string> &options, const char *name, long fallback) {
    auto it = options.find(name);
    return it == options.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
}

// As the byte link tells one: the slaves of /dev/ptmx and the old BSD ones.
bool PseudoTerminal(const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    unsigned kind = major(info.st_rdev);
    return (kind >= 136 && kind <= 143) || kind == 3;
}

std::string Percent(double share) {
    return std::to_string(std::lround(share * 100)) + " %";
}

std::string OfLine(const LinkLoad &load) {
    return "of a " + std::to_string(load.line.baud) + " baud line";
}

}  // namespace

// The byte link has checked the target; only what prices a poll is read
// here, with the byte link's own defaults.
Line LineOf(const std::string &target) {
    std::map<std::string, std::string> options = Options(target);
    Line line;
    line.timeout_ms = static_cast<int>(Number(options, "timeout_ms", comm::kDefaultTimeoutMs));
    line.recovery_ms = static_cast<int>(Number(options, "recovery_ms", line.timeout_ms));
    long data = Number(options, "bytesize", 8);
    long stop = Number(options, "stopbits", 1);
    auto parity = options.find("parity");
    bool parity_bit = parity != options.end() && parity->second != "N";
    line.char_bits = static_cast<int>(1 + data + (parity_bit ? 1 : 0) + stop);
    if (target.rfind("socket://", 0) == 0) {
        line.why = "socket:// carries no line rate";
    } else if (target.rfind("rfc2217://", 0) != 0 &&
               PseudoTerminal(target.substr(0, target.find('?')))) {
        line.why = "a pseudo-terminal passes bytes at once";
    } else {
        line.baud = Number(options, "baud", comm::kDefaultBaud);
    }
    return line;
}

namespace {

// A poll's seconds on the line when its module answers, and when it is
// silent (the frame, the time-out, the quiet time before the next frame).
struct PollCost {
    double answered = 0;
    double silent = 0;
};

PollCost CostOf(const PollSpec &poll, const Line &line) {
    const catalogue::Command &row = catalogue::RowOf(static_cast<CommandCode>(poll.query));
    double char_s = static_cast<double>(line.char_bits) / static_cast<double>(line.baud);
    auto frame = static_cast<double>(catalogue::FrameChars(row));
    auto reply =
        static_cast<double>(catalogue::ReplyChars(row, static_cast<std::size_t>(poll.bytes)));
    double waits = (line.timeout_ms + line.recovery_ms) / 1000.0;
    return {(frame + reply) * char_s, frame * char_s + waits};
}

LinkLoad LoadOf(const LinkSpec &link) {
    LinkLoad load;
    load.link = link.name;
    load.line = LineOf(link.target);
    for (const ModuleSpec &m : link.modules) {
        load.polls += m.polls.size();
        if (load.line.baud <= 0) {
            continue;
        }
        double silent = 0;
        for (const PollSpec &p : m.polls) {
            PollCost cost = CostOf(p, load.line);
            double per_s = 1000.0 / static_cast<double>(p.interval.count());
            load.planned += cost.answered * per_s;
            silent += (cost.silent - cost.answered) * per_s;
        }
        if (silent > load.silent_module) {
            load.silent_module = silent;
            load.busiest = m.name;
        }
    }
    return load;
}

}  // namespace

std::vector<LinkLoad> PlanLoad(const Config &config) {
    std::vector<LinkLoad> plan;
    for (const LinkSpec &link : config.links) {
        plan.push_back(LoadOf(link));
    }
    return plan;
}

LoadLevel LevelOf(const LinkLoad &load) {
    if (load.line.baud <= 0) {
        return LoadLevel::kUnknown;
    }
    long percent = std::lround(load.planned * 100);
    return percent > 100 ? LoadLevel::kOver : percent > 70 ? LoadLevel::kTight : LoadLevel::kFits;
}

std::string LoadWarning(const LinkLoad &load) {
    std::string needs =
        "link " + load.link + " needs " + Percent(load.planned) + " " + OfLine(load);
    switch (LevelOf(load)) {
        case LoadLevel::kOver:
            return needs + "; polls will fall behind";
        case LoadLevel::kTight:
            return needs + "; a silent module, a retry or a command will make polls late";
        case LoadLevel::kFits:
        case LoadLevel::kUnknown:
            break;
    }
    return "";
}

std::string DescribeLoad(const LinkLoad &load) {
    std::string polls = std::to_string(load.polls) + (load.polls == 1 ? " poll" : " polls");
    if (load.line.baud <= 0) {
        return "link " + load.link + ": " + polls + "; " + load.line.why +
               ", so its load is measured as it runs";
    }
    std::string text =
        "link " + load.link + ": " + polls + " need " + Percent(load.planned) + " " + OfLine(load);
    if (!load.busiest.empty()) {
        text += " (module " + load.busiest + " silent adds " + Percent(load.silent_module) + ")";
    }
    return text;
}

std::string LoadRefusals(const std::vector<LinkLoad> &plan) {
    std::string refusals;
    for (const LinkLoad &load : plan) {
        if (LevelOf(load) == LoadLevel::kOver) {
            refusals += (refusals.empty() ? "" : "\n") + LoadWarning(load);
        }
    }
    return refusals;
}

}  // namespace qor::gateway
