#include "gateway/modbus/modbus_server.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <vector>

#include "catalogue/catalogue.h"
#include "gateway/core/log.h"
#include "gateway/mqtt/topics.h"

namespace qor::gateway {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kOk = 0;
constexpr int kIllegalFunction = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
constexpr int kIllegalAddress = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
constexpr int kIllegalValue = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
constexpr int kDeviceFailure = MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;
constexpr int kBusy = MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY;
constexpr int kNoPath = MODBUS_EXCEPTION_GATEWAY_PATH;
constexpr int kNoAnswer = MODBUS_EXCEPTION_GATEWAY_TARGET;

// The tables functions 1 to 4 read.
constexpr RegisterTable kReadTables[] = {RegisterTable::kCoil, RegisterTable::kDiscreteInput,
                                         RegisterTable::kHoldingRegister,
                                         RegisterTable::kInputRegister};

int Field(const unsigned char *pdu, int at) {
    return (pdu[at] << 8) | pdu[at + 1];
}

void Split(std::uint32_t bits, WordOrder order, unsigned short *words) {
    auto high = static_cast<unsigned short>(bits >> 16);
    auto low = static_cast<unsigned short>(bits & 0xFFFF);
    words[0] = order == WordOrder::kAbcd ? high : low;
    words[1] = order == WordOrder::kAbcd ? low : high;
}

std::uint32_t Join(const unsigned char *data, WordOrder order) {
    std::uint32_t first = static_cast<std::uint32_t>(Field(data, 0));
    std::uint32_t second = static_cast<std::uint32_t>(Field(data, 2));
    return order == WordOrder::kAbcd ? (first << 16) | second : (second << 16) | first;
}

bool Fresh(const CachedValue &v, const ModuleSnapshot &m, Clock::time_point now, int max_age_s) {
    return v.when && m.presence != Presence::kOffline &&
           now - *v.when <= std::chrono::seconds(max_age_s);
}

// The value behind a poll or a writable command, if it is current.
std::optional<double> ValueOf(const Config &config, const MapEntry &e, const ModuleSnapshot &m,
                              Clock::time_point now) {
    if (e.source == Source::kPoll) {
        const CachedValue &v = m.polls.at(e.poll);
        return Fresh(v, m, now, config.modbus.max_age_s) ? std::optional<double>(v.value)
                                                         : std::nullopt;
    }
    // A limit reads back from its poll or from the last write through the
    // gateway, whichever is newer; other commands from the write alone.
    const ModuleSpec &spec = config.links[e.link].modules[e.module];
    const CachedValue &written = m.written.at(static_cast<std::size_t>(e.command));
    std::optional<double> value;
    if (written.when && m.presence != Presence::kOffline) {
        value = written.value;
    }
    Query echo = e.command == CommandKind::kHi ? Query::kRh : Query::kRl;
    bool limit = e.command == CommandKind::kHi || e.command == CommandKind::kLo;
    for (std::size_t i = 0; limit && i < spec.polls.size(); ++i) {
        const CachedValue &polled = m.polls[i];
        if (spec.polls[i].query == echo && Fresh(polled, m, now, config.modbus.max_age_s) &&
            (!written.when || *polled.when > *written.when)) {
            value = polled.value;
        }
    }
    return value;
}

// The registers of one entry, or the exception that stands for them.
int EntryWords(const Config &config, const MapEntry &e, const ModuleSnapshot &m,
               Clock::time_point now, unsigned short *words) {
    switch (e.source) {
        case Source::kAvailability:
            words[0] = static_cast<unsigned short>(m.presence);
            return kOk;
        case Source::kLastStatus:
            words[0] = static_cast<unsigned short>(m.last_status);
            return kOk;
        case Source::kLastError:
            words[0] = static_cast<unsigned short>(m.last_error);
            return kOk;
        case Source::kAge: {
            auto age =
                m.last_good
                    ? std::chrono::duration_cast<std::chrono::seconds>(now - *m.last_good).count()
                    : 65535;
            words[0] = static_cast<unsigned short>(std::min<long long>(age, 65535));
            return kOk;
        }
        default:
            break;
    }
    std::optional<double> value = ValueOf(config, e, m, now);
    if (!value) {
        return kNoAnswer;
    }
    double v = *value;
    switch (e.encoding) {
        case Encoding::kBit:
            words[0] = v != 0 ? 1 : 0;
            return kOk;
        case Encoding::kFloat32: {
            auto f = static_cast<float>(v);
            std::uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            Split(bits, config.modbus.word_order, words);
            return kOk;
        }
        case Encoding::kUint32:
            if (v < 0 || v > 4294967295.0) {
                return kDeviceFailure;
            }
            Split(static_cast<std::uint32_t>(v), config.modbus.word_order, words);
            return kOk;
        case Encoding::kInt16:
        case Encoding::kUint16: {
            double scaled = std::round(v * e.scale);
            bool is_signed = e.encoding == Encoding::kInt16;
            if (scaled < (is_signed ? -32768 : 0) || scaled > (is_signed ? 32767 : 65535)) {
                return kDeviceFailure;
            }
            words[0] = static_cast<unsigned short>(static_cast<int>(scaled) & 0xFFFF);
            return kOk;
        }
    }
    return kDeviceFailure;
}

// The documented stand-ins of a register that has no current value.
void Marker(const MapEntry &e, unsigned short *words) {
    switch (e.encoding) {
        case Encoding::kBit:
            words[0] = 0;
            break;
        case Encoding::kFloat32:
            words[0] = 0x7FC0;  // a quiet NaN in either word order: 7FC0 0000 / 0000 7FC0
            words[1] = 0;
            break;
        case Encoding::kUint32:
            words[0] = words[1] = 0xFFFF;
            break;
        case Encoding::kInt16:
            words[0] = 0x8000;
            break;
        case Encoding::kUint16:
            words[0] = 0xFFFF;
            break;
    }
}

std::string Peer(const sockaddr_in &address) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

int ExceptionFor(const CommandResult &r) {
    if (!r.ran) {
        return kBusy;
    }
    if (r.status == 0) {
        return kOk;
    }
    if (r.status == 100 && r.error != 1) {
        // The module answered with an error: "?1 RANGE" refuses the value.
        return r.error == 'R' ? kIllegalValue : kDeviceFailure;
    }
    return kNoAnswer;
}

struct WriteRequest {
    int code = kOk;
    int unit = 0;
    RegisterTable table = RegisterTable::kHoldingRegister;
    int address = 0;
    int count = 1;
    const unsigned char *data = nullptr;  // the values: coils as bits, registers as words
    int length = 0;                       // of the PDU
};

// The parts of a write request (functions 5, 6, 15, 16), or the exception
// for a count or a byte count out of range.
WriteRequest ParseWrite(int unit, const unsigned char *pdu) {
    WriteRequest w;
    int function = pdu[0];
    bool coils =
        function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_MULTIPLE_COILS;
    bool single =
        function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER;
    w.unit = unit;
    w.table = coils ? RegisterTable::kCoil : RegisterTable::kHoldingRegister;
    w.address = Field(pdu, 1);
    w.count = single ? 1 : Field(pdu, 3);
    w.data = single ? pdu + 3 : pdu + 6;
    w.length = single ? 5 : 6 + pdu[5];
    if (single && coils && Field(pdu, 3) != 0xFF00 && Field(pdu, 3) != 0) {
        w.code = kIllegalValue;
    }
    if (!single &&
        (w.count < 1 || w.count > (coils ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS) ||
         pdu[5] != (coils ? (w.count + 7) / 8 : w.count * 2))) {
        w.code = kIllegalValue;
    }
    return w;
}

// The value item i of a write gives its entry (a single coil's FF00 has
// its low bit set like a 1 among many).
double WrittenValue(const MapEntry &e, const unsigned char *data, int i, WordOrder order) {
    if (e.table == RegisterTable::kCoil) {
        return (data[i / 8] >> (i % 8)) & 1;
    }
    if (e.encoding == Encoding::kFloat32) {
        std::uint32_t bits = Join(data + 2 * i, order);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    int raw = Field(data, 2 * i);
    if (e.command == CommandKind::kDo) {
        return raw;
    }
    if (e.encoding == Encoding::kInt16 && raw >= 0x8000) {
        raw -= 0x10000;
    }
    return raw / e.scale;
}

}  // namespace

ModbusServer::ModbusServer(Config config, ModbusMap map, ReadingCache &cache, SubmitCommand submit)
    : config_(std::move(config)), map_(std::move(map)), cache_(cache), submit_(std::move(submit)) {}

ModbusServer::~ModbusServer() {
    Stop();
    if (listener_ != nullptr) {
        modbus_close(listener_);
        modbus_free(listener_);
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
}

bool ModbusServer::Start(std::string *error) {
    const ModbusSpec &spec = config_.modbus;
    listener_ = modbus_new_tcp(spec.host.c_str(), spec.port);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (listener_ == nullptr || wake_fd_ < 0) {
        *error = "cannot create the Modbus server";
        return false;
    }
    listen_fd_ = modbus_tcp_listen(listener_, 64);
    if (listen_fd_ < 0) {
        *error = "cannot listen on " + spec.host + ":" + std::to_string(spec.port) + ": " +
                 modbus_strerror(errno);
        return false;
    }
    accept_thread_ = std::thread([this] { Accept(); });
    Log(Level::kInfo, "modbus: listening on " + spec.host + ":" + std::to_string(spec.port) + " (" +
                          std::to_string(map_.Entries().size()) + " entries)");
    return true;
}

void ModbusServer::Stop() {
    if (!accept_thread_.joinable()) {
        return;
    }
    stopping_ = true;
    std::uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
    accept_thread_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Connection &c : connections_) {
            if (c.open) {
                shutdown(c.fd, SHUT_RDWR);
            }
        }
    }
    Reap(true);
}

void ModbusServer::Accept() {
    Clock::time_point next_refusal_log;
    std::uint64_t refused = 0;
    while (!stopping_) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        if (poll(fds, 2, 1000) <= 0 || !(fds[0].revents & POLLIN)) {
            Reap(false);
            continue;
        }
        sockaddr_in address{};
        socklen_t size = sizeof address;
        int fd = accept4(listen_fd_, reinterpret_cast<sockaddr *>(&address), &size, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the connection stays queued a while.
            std::this_thread::sleep_for(100ms);
            continue;
        }
        Reap(false);
        bool allowed =
            address.sin_family == AF_INET && config_.modbus.Allowed(ntohl(address.sin_addr.s_addr));
        std::size_t open = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open = connections_.size();
        }
        // libmodbus waits with select(), which cannot watch a descriptor
        // beyond FD_SETSIZE.
        if (!allowed || open >= static_cast<std::size_t>(config_.modbus.max_connections) ||
            fd >= FD_SETSIZE) {
            close(fd);
            ++refused;
            if (Clock::now() >= next_refusal_log) {
                Log(Level::kWarning, "modbus: refused " + std::to_string(refused) +
                                         " connection(s), the last from " + Peer(address) +
                                         (allowed ? " (too many connections)" : " (not allowed)"));
                refused = 0;
                next_refusal_log = Clock::now() + 10s;
            }
            continue;
        }
        Admit(fd, Peer(address), allowed);
    }
}

void ModbusServer::Admit(int fd, const std::string &peer, bool) {
    // A client that stops reading its replies is dropped rather than left
    // to block its connection's thread.
    timeval send_limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.emplace_back();
    Connection *c = &connections_.back();
    c->fd = fd;
    c->peer = peer;
    c->thread = std::thread([this, c] { Serve(c); });
}

void ModbusServer::Reap(bool all) {
    std::list<Connection> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if (all || it->finished) {
                done.splice(done.end(), connections_, it);
            }
            it = next;
        }
    }
    for (Connection &c : done) {
        c.thread.join();
    }
}

void ModbusServer::Serve(Connection *c) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", config_.modbus.port);
    if (ctx != nullptr) {
        modbus_set_socket(ctx, c->fd);
        modbus_set_indication_timeout(ctx,
                                      static_cast<std::uint32_t>(config_.modbus.idle_timeout_s), 0);
        // The bytes of one request follow each other within a second.
        modbus_set_byte_timeout(ctx, 1, 0);
        auto spacing = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / config_.modbus.max_requests_per_s));
        Clock::time_point allowed_at = Clock::now();
        unsigned char request[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!stopping_) {
            int length = modbus_receive(ctx, request);
            if (length < 0) {
                break;  // closed, idle, or not a request: the connection ends
            }
            if (length == 0) {
                continue;
            }
            // Over the rate, requests wait their turn instead of loading the gateway.
            Clock::time_point now = Clock::now();
            allowed_at = std::max(allowed_at, now - 1s) + spacing;
            if (allowed_at > now) {
                std::this_thread::sleep_until(allowed_at);
            }
            if (!Answer(ctx, request, length, c->peer)) {
                break;
            }
        }
        modbus_set_socket(ctx, -1);
        modbus_free(ctx);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    close(c->fd);
    c->open = false;
    c->finished = true;
}

bool ModbusServer::Answer(modbus_t *ctx, const unsigned char *request, int length,
                          const std::string &peer) {
    int header = modbus_get_header_length(ctx);
    int unit = request[header - 1];
    int function = request[header];
    const unsigned char *pdu = request + header;
    int code = kOk;
    if (!map_.HasUnit(unit)) {
        code = kNoPath;
    } else if (function == MODBUS_FC_WRITE_SINGLE_COIL ||
               function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
               function == MODBUS_FC_WRITE_MULTIPLE_COILS ||
               function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS) {
        code = config_.modbus.writes ? Write(ctx, request, peer) : kIllegalAddress;
    } else if (function >= MODBUS_FC_READ_COILS && function <= MODBUS_FC_READ_INPUT_REGISTERS) {
        RegisterTable table = kReadTables[function - 1];
        int address = Field(pdu, 1);
        int count = Field(pdu, 3);
        bool bits = function <= MODBUS_FC_READ_DISCRETE_INPUTS;
        if (count < 1 || count > (bits ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS)) {
            code = kIllegalValue;
        } else {
            modbus_mapping_t *scratch = modbus_mapping_new_start_address(
                address, count, address, count, address, count, address, count);
            if (scratch == nullptr) {
                code = kDeviceFailure;
            } else {
                unsigned short *words = table == RegisterTable::kHoldingRegister
                                            ? scratch->tab_registers
                                            : scratch->tab_input_registers;
                unsigned char *bit_table =
                    table == RegisterTable::kCoil ? scratch->tab_bits : scratch->tab_input_bits;
                code = Read(unit, table, address, count, words, bit_table);
                bool sent = code != kOk || modbus_reply(ctx, request, length, scratch) >= 0;
                modbus_mapping_free(scratch);
                if (!sent) {
                    return false;
                }
            }
        }
    } else {
        code = kIllegalFunction;
    }
    if (code == kOk) {
        return true;  // the reply went out above
    }
    return modbus_reply_exception(ctx, request, static_cast<unsigned>(code)) >= 0;
}

int ModbusServer::Read(int unit, RegisterTable table, int address, int count, unsigned short *words,
                       unsigned char *bits) const {
    Clock::time_point now = Clock::now();
    bool is_bits = table == RegisterTable::kCoil || table == RegisterTable::kDiscreteInput;
    for (int i = 0; i < count;) {
        const MapEntry *e = address + i <= 0xFFFF ? map_.Find(unit, table, address + i) : nullptr;
        if (e == nullptr) {
            return kIllegalAddress;
        }
        unsigned short value[2] = {0, 0};
        int code = EntryWords(config_, *e, cache_.Module(e->link, e->module), now, value);
        if (code != kOk && config_.modbus.stale == StaleReply::kException) {
            return code;
        }
        if (code != kOk) {
            Marker(*e, value);
        }
        // A read may begin or end in the middle of a 32-bit value.
        for (int w = address + i - e->address; w < e->width && i < count; ++w, ++i) {
            if (is_bits) {
                bits[i] = value[w] != 0 ? 1 : 0;
            } else {
                words[i] = value[w];
            }
        }
    }
    return kOk;
}

int ModbusServer::Write(modbus_t *ctx, const unsigned char *request, const std::string &peer) {
    int header = modbus_get_header_length(ctx);
    WriteRequest w = ParseWrite(request[header - 1], request + header);
    if (w.code != kOk) {
        return w.code;
    }
    // Every address must belong to a whole writable entry before anything runs.
    std::vector<std::pair<const MapEntry *, double>> writes;
    for (int i = 0; i < w.count;) {
        const MapEntry *e =
            w.address + i <= 0xFFFF ? map_.Find(w.unit, w.table, w.address + i) : nullptr;
        if (e == nullptr || e->address != w.address + i || i + e->width > w.count) {
            return kIllegalAddress;
        }
        double value = WrittenValue(*e, w.data, i, config_.modbus.word_order);
        if (e->table == RegisterTable::kHoldingRegister && e->command != CommandKind::kDo &&
            !(std::fabs(value) < catalogue::kValueLimit)) {
            return kIllegalValue;
        }
        writes.emplace_back(e, value);
        i += e->width;
    }
    for (const auto &[e, value] : writes) {
        int code = RunWrite(*e, value, peer);
        if (code != kOk) {
            return code;
        }
    }
    modbus_mapping_t *scratch =
        modbus_mapping_new_start_address(w.address, w.count, 0, 0, w.address, w.count, 0, 0);
    if (scratch == nullptr) {
        return kDeviceFailure;
    }
    int sent = modbus_reply(ctx, request, header + w.length, scratch);
    modbus_mapping_free(scratch);
    return sent >= 0 ? kOk : kDeviceFailure;
}

// Runs one write on the module's link as an MQTT command would run, and
// waits for the module's answer.
int ModbusServer::RunWrite(const MapEntry &e, double value, const std::string &peer) {
    const LinkSpec &link = config_.links[e.link];
    const ModuleSpec &module = link.modules[e.module];
    CommandKind kind = e.command;
    char payload[96];
    if (e.table == RegisterTable::kCoil) {
        kind = value != 0 ? CommandKind::kSb : CommandKind::kCb;
        std::snprintf(payload, sizeof payload, "{\"bit\": %d}", e.bit);
    } else if (kind == CommandKind::kDo) {
        std::snprintf(payload, sizeof payload, "{\"outputs\": %d}", static_cast<int>(value));
    } else {
        std::snprintf(payload, sizeof payload, "{\"value\": %.9g}", value);
    }
    if (!module.Writable(kind)) {
        return kIllegalAddress;
    }
    auto parsed = ParseCommand(kind, payload);
    if (std::holds_alternative<std::string>(parsed)) {
        return kIllegalValue;
    }
    auto answered = std::make_shared<std::promise<CommandResult>>();
    std::future<CommandResult> result = answered->get_future();
    PendingCommand command;
    command.module = module.name;
    command.args = std::get<CommandArgs>(parsed);
    command.reply_topic = ModuleTopic(config_.topic_prefix, link.name, module.name) + "/set/" +
                          CommandName(kind) + "/result";
    command.origin = "modbus " + peer;
    command.done = [answered](const CommandResult &r) { answered->set_value(r); };
    if (!submit_(e.link, std::move(command))) {
        return kBusy;
    }
    // The poller answers every command it took, run or not.
    CommandResult r = result.get();
    int code = ExceptionFor(r);
    Log(Level::kInfo,
        "modbus: " + peer + " wrote " + e.name +
            (code == kOk ? "" : " (refused: exception " + std::to_string(code) + ")"));
    return code;
}

}  // namespace qor::gateway
