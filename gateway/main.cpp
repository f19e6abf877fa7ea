// qor-gateway: polls modules on their links and publishes them on MQTT.
//   qor-gateway [--verbose] CONFIG      run
//   qor-gateway --check CONFIG          validate the file and exit
//   qor-gateway --print-modbus-map [--csv] CONFIG   the Modbus registers
//   qor-gateway --decode-sparkplug FILE|-           a Sparkplug B payload as text
// Signals are taken from a signalfd on this thread, never in a handler:
// SIGTERM and SIGINT stop (delivering what is queued within the configured
// bound), SIGHUP reloads the configuration. --check, start and reload read
// the file through the same LoadConfig.
#include <mosquitto.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "gateway/core/config.h"
#include "gateway/core/gateway.h"
#include "gateway/core/load_plan.h"
#include "gateway/core/log.h"
#include "gateway/modbus/modbus_map.h"
#include "gateway/outputs.h"
#include "gateway/sparkplug/sparkplug_codec.h"

namespace {

using namespace qor::gateway;

constexpr int kExitConfig = 1;  // the configuration was refused
constexpr int kExitUsage = 2;   // bad command line
constexpr int kExitStart = 3;   // the MQTT client or the signals could not be set up,
                                // or a reload left nothing running
// The largest payload --decode-sparkplug reads.
constexpr std::size_t kMaxPayload = 16 << 20;

const char kUsage[] =
    "Usage: qor-gateway [--verbose] CONFIG\n"
    "       qor-gateway --check CONFIG\n"
    "       qor-gateway --print-modbus-map [--csv] CONFIG\n"
    "       qor-gateway --decode-sparkplug FILE|-\n"
    "Polls I/O modules on their links and publishes their readings on MQTT;\n"
    "takes commands for them from MQTT. CONFIG is a TOML file (see qor-gateway(1)).\n"
    "\n"
    "Options:\n"
    "  --check     validate CONFIG (the files it names, the load on each link) and exit\n"
    "  --verbose   log the trace of every link transaction\n"
    "  --print-modbus-map  print the Modbus register map of CONFIG and exit\n"
    "  --csv       with --print-modbus-map: as CSV, for an HMI's import\n"
    "  --decode-sparkplug  print the Sparkplug B payload in FILE (- for standard\n"
    "              input) as text and exit\n"
    "  --help      show this help\n"
    "  --version   show the version\n"
    "\n"
    "Signals: SIGTERM or SIGINT stop after delivering what is queued (within\n"
    "flush_timeout_s, plus at most 2 s); SIGHUP reloads CONFIG, keeping the old one\n"
    "running if the new one is refused or its broker cannot be reached.\n"
    "Exit codes: 0 stopped by a signal or CONFIG valid, 1 CONFIG refused,\n"
    "2 bad arguments, 3 could not start (or nothing ran after a reload).\n";

struct Arguments {
    std::string config;
    bool check = false;
    bool verbose = false;
    bool print_map = false;
    bool csv = false;
    bool decode = false;  // config names the payload's file
};

// Returns an exit code when the program should end at once, else -1.
int ParseArguments(int argc, char **argv, Arguments *out) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("qor-gateway %s\n", QOR_VERSION);
            return 0;
        }
        if (arg == "--check") {
            out->check = true;
        } else if (arg == "--print-modbus-map") {
            out->print_map = true;
        } else if (arg == "--decode-sparkplug") {
            out->decode = true;
        } else if (arg == "--csv") {
            out->csv = true;
        } else if (arg == "--verbose" || arg == "-v") {
            out->verbose = true;
        } else if ((arg.rfind("-", 0) == 0 && !(arg == "-" && out->decode)) ||
                   !out->config.empty()) {
            std::fprintf(stderr, "qor-gateway: unexpected argument \"%s\"\n%s", arg.c_str(),
                         kUsage);
            return kExitUsage;
        } else {
            out->config = arg;
        }
    }
    if (out->config.empty()) {
        std::fprintf(stderr, "qor-gateway: no configuration file given\n%s", kUsage);
        return kExitUsage;
    }
    return -1;
}

std::string Summary(const Config &c) {
    std::size_t modules = 0;
    std::size_t polls = 0;
    for (const LinkSpec &link : c.links) {
        modules += link.modules.size();
        for (const ModuleSpec &m : link.modules) {
            polls += m.polls.size();
        }
    }
    return std::to_string(c.links.size()) + " links, " + std::to_string(modules) + " modules, " +
           std::to_string(polls) + " polls";
}

// Blocks the signals in every thread (the ones started later inherit the
// mask) and returns a descriptor to read them from.
int SignalDescriptor() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
        return -1;
    }
    // A broker that closes the socket must not kill the daemon.
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &signals, SFD_CLOEXEC);
}

// Reasons about the file, one a line, each "LINE: reason": each as
// "FILE:LINE: reason", joined by sep.
std::string InFile(const std::string &path, const std::string &reasons, const char *sep) {
    std::string out;
    std::size_t at = 0;
    while (at <= reasons.size()) {
        std::size_t end = reasons.find('\n', at);
        end = end == std::string::npos ? reasons.size() : end;
        out += (out.empty() ? "" : sep) + path + ":" + reasons.substr(at, end - at);
        at = end + 1;
    }
    return out;
}

// A stop asked for while a reload waits for its new broker session ends
// the wait: the stop is bounded, the reload is not worth it then.
bool StopPending() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 &&
           (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1);
}

int PrintMap(const Arguments &arguments, const Config &config) {
    if (!config.modbus.enabled) {
        std::fprintf(stderr, "qor-gateway: %s has no [modbus] section, or it is not enabled\n",
                     arguments.config.c_str());
        return kExitConfig;
    }
    std::string error;
    ModbusMap map = ModbusMap::Build(config, &error);
    std::string text = arguments.csv ? MapCsv(config, map) : MapTable(config, map);
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        std::perror("qor-gateway: standard output");
        return kExitStart;
    }
    return 0;
}

// Tells systemd (Type=notify) of the gateway's state through the socket
// $NOTIFY_SOCKET names, as sd_notify(3) does; nothing without it. READY=1
// means the configuration is loaded and every server is listening, not that
// the broker or the links are up (/readyz tells that). There is no watchdog
// ping: see README.md.
void Notify(const char *state) {
    const char *path = std::getenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    std::size_t length = path != nullptr ? std::strlen(path) : 0;
    if (length < 2 || length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@')) {
        return;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') {
        address.sun_path[0] = '\0';  // the abstract namespace
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    (void)!sendto(fd, state, std::strlen(state), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr *>(&address),
                  static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    close(fd);
}

// Every problem of a refused file, one a line on standard error.
void PrintProblems(const ConfigResult &loaded) {
    for (const std::string &problem : loaded.errors) {
        std::fprintf(stderr, "qor-gateway: %s\n", problem.c_str());
    }
}

// Logs what each link's polls ask of its line; the links that cannot carry
// their polls, one a line, or empty.
std::string LogLoad(const Config &config) {
    std::vector<LinkLoad> plan = PlanLoad(config);
    for (const LinkLoad &load : plan) {
        bool tight = LevelOf(load) == LoadLevel::kTight;
        Log(tight ? Level::kWarning : Level::kInfo, tight ? LoadWarning(load) : DescribeLoad(load));
    }
    return LoadRefusals(plan);
}

// A refused reload is one event in the log, with every problem of the file.
void Reload(Gateway &gateway, const std::string &path) {
    ConfigResult loaded = LoadConfig(path);
    if (!loaded.config) {
        std::string problems;
        for (const std::string &problem : loaded.errors) {
            problems += (problems.empty() ? "" : "; ") + problem;
        }
        std::size_t count = loaded.errors.size();
        Log(Level::kError, "reload refused (" + std::to_string(count) +
                               (count == 1 ? " problem" : " problems") +
                               "), keeping the running configuration: " + problems);
        return;
    }
    std::string over = LogLoad(*loaded.config);
    if (!over.empty()) {
        Log(Level::kError,
            "reload refused, keeping the running configuration: " + path + ": " + over);
        return;
    }
    Log(Level::kInfo, "reloading " + path + " (" + Summary(*loaded.config) + ")");
    std::string why;
    if (!gateway.Reload(std::move(*loaded.config), StopPending, &why)) {
        Log(Level::kError,
            "reload refused, keeping the running configuration: " + InFile(path, why, "; "));
        return;
    }
    Log(Level::kInfo, "reloaded " + path);
}

// What the outputs load beyond the file (keys, users), the listeners, and
// each link's line against its polls, checked as a start would.
int Check(const Arguments &arguments, const Config &config) {
    std::string why = Gateway(MakeOutputs).Check(config);
    if (!why.empty()) {
        std::string text = InFile(arguments.config, why, "\nqor-gateway: ");
        std::fprintf(stderr, "qor-gateway: %s\n", text.c_str());
        return kExitConfig;
    }
    std::vector<LinkLoad> plan = PlanLoad(config);
    for (const LinkLoad &load : plan) {
        if (LevelOf(load) == LoadLevel::kOver) {
            std::fprintf(stderr, "qor-gateway: %s: %s\n", arguments.config.c_str(),
                         LoadWarning(load).c_str());
        }
    }
    if (!LoadRefusals(plan).empty()) {
        return kExitConfig;
    }
    std::printf("%s: ok (%s)\n", arguments.config.c_str(), Summary(config).c_str());
    for (const LinkLoad &load : plan) {
        std::printf("  %s\n", DescribeLoad(load).c_str());
        if (LevelOf(load) == LoadLevel::kTight) {
            std::fprintf(stderr, "qor-gateway: warning: %s\n", LoadWarning(load).c_str());
        }
    }
    return 0;
}

int Serve(const Arguments &arguments, Config config, int signals) {
    Gateway gateway(MakeOutputs);
    std::string why;
    if (!gateway.Start(std::move(config), &why)) {
        Log(Level::kError, "cannot start: " + InFile(arguments.config, why, "; "));
        return kExitStart;
    }
    Notify("READY=1");
    for (;;) {
        signalfd_siginfo info{};
        if (read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
            continue;
        }
        if (info.ssi_signo == SIGHUP) {
            Notify("RELOADING=1");
            Reload(gateway, arguments.config);
            if (!gateway.Running()) {
                Log(Level::kError,
                    "nothing is running after the reload; exiting so that the "
                    "service manager starts the gateway again");
                if (gateway.Stop() > 0) {
                    std::fflush(nullptr);
                    std::_Exit(kExitStart);
                }
                return kExitStart;
            }
            Notify("READY=1");
            continue;
        }
        Notify("STOPPING=1");
        Log(Level::kInfo,
            std::string("stopping on ") + strsignal(static_cast<int>(info.ssi_signo)));
        std::size_t abandoned = gateway.Stop();
        FlushRepeated();
        Log(Level::kInfo, "stopped");
        if (abandoned > 0) {
            // Their threads are still inside a transaction and use the
            // gateway: end here, without destroying anything.
            std::fflush(nullptr);
            std::_Exit(0);
        }
        return 0;
    }
}

// The payload of FILE (or standard input for "-"), read through the
// gateway's own codec: 0, or 1 when it is no Sparkplug B payload.
int DecodeSparkplug(const std::string &file) {
    std::FILE *in = file == "-" ? stdin : std::fopen(file.c_str(), "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "qor-gateway: cannot read %s: %s\n", file.c_str(),
                     std::strerror(errno));
        return kExitConfig;
    }
    std::string bytes;
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0 && bytes.size() <= kMaxPayload) {
        bytes.append(buffer, n);
    }
    if (in != stdin) {
        std::fclose(in);
    }
    std::optional<std::string> text =
        bytes.size() <= kMaxPayload ? sparkplug::DescribePayload(bytes) : std::nullopt;
    if (!text) {
        std::fprintf(stderr, "qor-gateway: %s is no Sparkplug B payload\n", file.c_str());
        return kExitConfig;
    }
    std::fputs(text->c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    Arguments arguments;
    int early = ParseArguments(argc, argv, &arguments);
    if (early >= 0) {
        return early;
    }
    if (arguments.decode) {
        return DecodeSparkplug(arguments.config);
    }
    SetVerbose(arguments.verbose);
    mosquitto_lib_init();
    ConfigResult loaded = LoadConfig(arguments.config);
    if (!loaded.config) {
        PrintProblems(loaded);
        return kExitConfig;
    }
    if (arguments.print_map) {
        return PrintMap(arguments, *loaded.config);
    }
    if (arguments.check) {
        return Check(arguments, *loaded.config);
    }
    int signals = SignalDescriptor();
    if (signals < 0) {
        std::perror("qor-gateway: signals");
        return kExitStart;
    }
    Log(Level::kInfo, "starting with " + arguments.config + " (" + Summary(*loaded.config) + ")");
    std::string over = LogLoad(*loaded.config);
    if (!over.empty()) {
        Log(Level::kError, "cannot start: " + arguments.config + ": " + over);
        return kExitConfig;
    }
    int code = Serve(arguments, std::move(*loaded.config), signals);
    mosquitto_lib_cleanup();
    close(signals);
    return code;
}
