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
#include "gateway/core/listener.h"
#include "gateway/core/log.h"

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

bool Fresh(const std::optional<TimedValue> &v, const ModuleView &m, Clock::time_point now,
           int max_age_s) {
    return v && m.availability != Availability::kOffline &&
           now - v->steady <= std::chrono::seconds(max_age_s);
}

// The value behind a poll or a writable command, if it is current.
std::optional<double> ValueOf(const Config &config, const MapEntry &e, const ModuleView &m,
                              Clock::time_point now) {
    if (e.source == Source::kPoll) {
        if (e.poll >= m.queries.size()) {
            return std::nullopt;
        }
        const std::optional<TimedValue> &v = m.queries[e.poll].good;
        return Fresh(v, m, now, config.modbus.max_age_s) ? std::optional<double>(v->value)
                                                         : std::nullopt;
    }
    // A limit reads back from its poll or from the last write through the
    // gateway, whichever is newer; other commands from the write alone.
    const ModuleSpec &spec = config.links[e.link].modules[e.module];
    const std::optional<TimedValue> &written = m.written.at(static_cast<std::size_t>(e.command));
    std::optional<double> value;
    if (written && m.availability != Availability::kOffline) {
        value = written->value;
    }
    Query echo = e.command == CommandKind::kHi ? Query::kRh : Query::kRl;
    bool limit = e.command == CommandKind::kHi || e.command == CommandKind::kLo;
    for (std::size_t i = 0; limit && i < spec.polls.size() && i < m.queries.size(); ++i) {
        const std::optional<TimedValue> &polled = m.queries[i].good;
        if (spec.polls[i].query == echo && Fresh(polled, m, now, config.modbus.max_age_s) &&
            (!written || polled->steady > written->steady)) {
            value = polled->value;
        }
    }
    return value;
}

// The registers of one entry, or the exception that stands for them.
int EntryWords(const Config &config, const MapEntry &e, const ModuleView &m, Clock::time_point now,
               unsigned short *words) {
    switch (e.source) {
        case Source::kAvailability:
            words[0] = static_cast<unsigned short>(m.availability);
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
    if (r.refusal == Refusal::kArguments) {
        return kIllegalValue;
    }
    if (r.refusal == Refusal::kTarget) {
        return kIllegalAddress;
    }
    if (!r.ran) {
        return kBusy;  // the queue full, or the gateway reloading or stopping
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

ModbusServer::ModbusServer(const OutputServices &services)
    : plant_(services.plant), intake_(services.intake) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

ModbusServer::~ModbusServer() {
    Stop(Clock::now());
    if (next_fd_ >= 0) {
        close(next_fd_);
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
}

std::vector<Listener> ModbusServer::Listeners(const Config &config) const {
    if (!config.modbus.enabled) {
        return {};
    }
    return {{"[modbus]", config.modbus.host, config.modbus.port, config.modbus.line}};
}

std::shared_ptr<const ModbusServer::Setup> ModbusServer::Current() const {
    std::lock_guard<std::mutex> lock(setup_mutex_);
    return setup_;
}

// The new map, and a new listening socket unless the address stays: a port
// in use refuses the configuration here, while the running one serves on.
bool ModbusServer::Prepare(const Config &next, const std::function<bool()> &, std::string *why) {
    if (!next.modbus.enabled) {
        return true;
    }
    auto setup = std::make_shared<Setup>();
    setup->config = next;
    setup->map = ModbusMap::Build(next, why);
    if (!why->empty()) {
        *why = AtLine(next.modbus.line, "[modbus] " + *why);
        return false;
    }
    std::string where = next.modbus.host + ":" + std::to_string(next.modbus.port);
    if (where != listening_ || listen_fd_ < 0) {
        next_fd_ = ListenTcp(next.modbus.host, next.modbus.port, 64, why);
        if (next_fd_ < 0) {
            *why = AtLine(next.modbus.line, "[modbus] cannot listen on " + *why);
            return false;
        }
    }
    next_listening_ = where;
    next_setup_ = std::move(setup);
    return true;
}

void ModbusServer::Rollback() {
    if (next_fd_ >= 0) {
        close(next_fd_);
        next_fd_ = -1;
    }
    next_setup_.reset();
}

void ModbusServer::Commit() {
    std::shared_ptr<const Setup> setup = std::move(next_setup_);
    next_setup_.reset();
    bool moved = next_fd_ >= 0 || !setup;
    if (moved) {
        StopAccepting();
        if (listen_fd_ >= 0) {
            close(listen_fd_);
            listen_fd_ = -1;
        }
    }
    {
        std::lock_guard<std::mutex> lock(setup_mutex_);
        setup_ = setup;
        listening_ = setup ? next_listening_ : "";
    }
    // Connections to an address no longer served end; the others go on
    // under the new map, unless their client is no longer allowed.
    CloseConnections(moved, setup.get());
    if (!setup) {
        return;
    }
    if (moved) {
        listen_fd_ = next_fd_;
        next_fd_ = -1;
        StartAccepting();
        Log(Level::kInfo, "modbus: listening on " + listening_ + " (" +
                              std::to_string(setup->map.Entries().size()) + " entries)");
        plant_.AddEvent("modbus", "listening on " + listening_);
    }
}

void ModbusServer::StartAccepting() {
    accepting_ = true;
    accept_thread_ = std::thread([this] { Accept(); });
}

void ModbusServer::StopAccepting() {
    if (!accept_thread_.joinable()) {
        return;
    }
    accepting_ = false;
    std::uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
    accept_thread_.join();
    std::uint64_t count = 0;
    (void)!read(wake_fd_, &count, sizeof count);
}

void ModbusServer::CloseConnections(bool all, const Setup *kept_for) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Connection &c : connections_) {
            bool allowed = kept_for != nullptr && kept_for->config.modbus.Allowed(c.address);
            if (c.open && (all || !allowed)) {
                shutdown(c.fd, SHUT_RDWR);
            }
        }
    }
    if (all) {
        stopping_ = true;
        Reap(true);
        stopping_ = false;
    }
}

void ModbusServer::Stop(Clock::time_point) {
    StopAccepting();
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
    }
    {
        std::lock_guard<std::mutex> lock(setup_mutex_);
        setup_.reset();
        listening_.clear();
    }
    CloseConnections(true, nullptr);
}

void ModbusServer::Accept() {
    Clock::time_point next_refusal_log;
    std::uint64_t refused = 0;
    while (accepting_) {
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
        std::shared_ptr<const Setup> setup = Current();
        std::uint32_t peer_address = ntohl(address.sin_addr.s_addr);
        bool allowed =
            setup && address.sin_family == AF_INET && setup->config.modbus.Allowed(peer_address);
        std::size_t open = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open = connections_.size();
        }
        // libmodbus waits with select(), which cannot watch a descriptor
        // beyond FD_SETSIZE.
        if (!allowed || open >= static_cast<std::size_t>(setup->config.modbus.max_connections) ||
            fd >= FD_SETSIZE) {
            close(fd);
            ++refused;
            ++refused_;
            if (Clock::now() >= next_refusal_log) {
                Log(Level::kWarning, "modbus: refused " + std::to_string(refused) +
                                         " connection(s), the last from " + Peer(address) +
                                         (allowed ? " (too many connections)" : " (not allowed)"));
                refused = 0;
                next_refusal_log = Clock::now() + 10s;
            }
            continue;
        }
        Admit(fd, Peer(address), peer_address);
    }
}

void ModbusServer::Admit(int fd, const std::string &peer, std::uint32_t address) {
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
    c->address = address;
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
    std::shared_ptr<const Setup> setup = Current();
    modbus_t *ctx = setup ? modbus_new_tcp("127.0.0.1", setup->config.modbus.port) : nullptr;
    if (ctx != nullptr) {
        const ModbusSpec &spec = setup->config.modbus;
        modbus_set_socket(ctx, c->fd);
        modbus_set_indication_timeout(ctx, static_cast<std::uint32_t>(spec.idle_timeout_s), 0);
        // The bytes of one request follow each other within a second.
        modbus_set_byte_timeout(ctx, 1, 0);
        auto spacing = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / spec.max_requests_per_s));
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
            // Each request is answered under the map in force when it came.
            std::shared_ptr<const Setup> current = Current();
            if (!current || !Answer(*current, ctx, request, length, c->peer)) {
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

bool ModbusServer::Answer(const Setup &setup, modbus_t *ctx, const unsigned char *request,
                          int length, const std::string &peer) {
    ++requests_;
    int header = modbus_get_header_length(ctx);
    int unit = request[header - 1];
    int function = request[header];
    const unsigned char *pdu = request + header;
    int code = kOk;
    if (!setup.map.HasUnit(unit)) {
        code = kNoPath;
    } else if (function == MODBUS_FC_WRITE_SINGLE_COIL ||
               function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
               function == MODBUS_FC_WRITE_MULTIPLE_COILS ||
               function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS) {
        code = setup.config.modbus.writes ? Write(setup, ctx, request, peer) : kIllegalAddress;
    } else if (function >= MODBUS_FC_READ_COILS && function <= MODBUS_FC_READ_INPUT_REGISTERS) {
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
                RegisterTable table = kReadTables[function - 1];
                unsigned short *words = table == RegisterTable::kHoldingRegister
                                            ? scratch->tab_registers
                                            : scratch->tab_input_registers;
                unsigned char *bit_table =
                    table == RegisterTable::kCoil ? scratch->tab_bits : scratch->tab_input_bits;
                code = Read(setup, unit, function - 1, address, count, words, bit_table);
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
    ++exceptions_;
    return modbus_reply_exception(ctx, request, static_cast<unsigned>(code)) >= 0;
}

int ModbusServer::Read(const Setup &setup, int unit, int table_index, int address, int count,
                       unsigned short *words, unsigned char *bits) const {
    Clock::time_point now = Clock::now();
    RegisterTable table = kReadTables[table_index];
    bool is_bits = table == RegisterTable::kCoil || table == RegisterTable::kDiscreteInput;
    for (int i = 0; i < count;) {
        const MapEntry *e =
            address + i <= 0xFFFF ? setup.map.Find(unit, table, address + i) : nullptr;
        if (e == nullptr) {
            return kIllegalAddress;
        }
        unsigned short value[2] = {0, 0};
        int code = EntryWords(setup.config, *e, plant_.Module({e->link, e->module}), now, value);
        if (code != kOk && setup.config.modbus.stale == StaleReply::kException) {
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

int ModbusServer::Write(const Setup &setup, modbus_t *ctx, const unsigned char *request,
                        const std::string &peer) {
    int header = modbus_get_header_length(ctx);
    WriteRequest w = ParseWrite(request[header - 1], request + header);
    if (w.code != kOk) {
        return w.code;
    }
    // Every address must belong to a whole writable entry before anything runs.
    std::vector<std::pair<const MapEntry *, double>> writes;
    for (int i = 0; i < w.count;) {
        const MapEntry *e =
            w.address + i <= 0xFFFF ? setup.map.Find(w.unit, w.table, w.address + i) : nullptr;
        if (e == nullptr || e->address != w.address + i || i + e->width > w.count) {
            return kIllegalAddress;
        }
        double value = WrittenValue(*e, w.data, i, setup.config.modbus.word_order);
        if (e->table == RegisterTable::kHoldingRegister && e->command != CommandKind::kDo &&
            !(std::fabs(value) < catalogue::kValueLimit)) {
            return kIllegalValue;
        }
        writes.emplace_back(e, value);
        i += e->width;
    }
    for (const auto &[e, value] : writes) {
        int code = RunWrite(setup, *e, value, peer);
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

// Runs one write on the module's link through the intake, as every command
// runs, and waits for the module's answer; a stop ends the wait with busy.
int ModbusServer::RunWrite(const Setup &setup, const MapEntry &e, double value,
                           const std::string &peer) {
    const LinkSpec &link = setup.config.links[e.link];
    const ModuleSpec &module = link.modules[e.module];
    CommandKind kind = e.command;
    PayloadFields fields;
    if (e.table == RegisterTable::kCoil) {
        kind = value != 0 ? CommandKind::kSb : CommandKind::kCb;
        fields.bit = e.bit;
    } else if (kind == CommandKind::kDo) {
        fields.outputs = static_cast<long long>(value);
    } else {
        fields.value = value;
    }
    if (!module.Writable(kind)) {
        return kIllegalAddress;
    }
    auto args = ArgsFromFields(kind, fields);
    if (std::holds_alternative<std::string>(args)) {
        return kIllegalValue;
    }
    auto answered = std::make_shared<std::promise<CommandResult>>();
    std::future<CommandResult> result = answered->get_future();
    Command command;
    command.link = link.name;
    command.module = module.name;
    command.name = CommandName(kind);
    command.args = std::get<CommandArgs>(args);
    command.origin = Origin::kModbus;
    command.who = peer;
    command.done = [answered](const CommandResult &r) { answered->set_value(r); };
    intake_.Submit(std::move(command));
    // The poller answers every command it took, run or not; the intake
    // answers at once what it refuses.
    while (result.wait_for(100ms) != std::future_status::ready) {
        if (stopping_) {
            return kBusy;
        }
    }
    CommandResult r = result.get();
    int code = ExceptionFor(r);
    Log(Level::kInfo,
        "modbus: " + peer + " wrote " + e.name +
            (code == kOk ? "" : " (refused: exception " + std::to_string(code) + ")"));
    return code;
}

OutputHealth ModbusServer::Health() const {
    OutputHealth h;
    h.name = Name();
    std::shared_ptr<const Setup> setup = Current();
    std::size_t clients = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Connection &c : connections_) {
            clients += c.open ? 1 : 0;
        }
    }
    std::string listening;
    {
        std::lock_guard<std::mutex> lock(setup_mutex_);
        listening = listening_;
    }
    h.enabled = setup != nullptr;
    h.ready = !h.enabled || accepting_;
    h.state = !h.enabled ? "off" : h.ready ? "listening on " + listening : "not listening";
    h.problem = h.ready ? "" : "modbus listener down";
    h.figures = {{"qor_gateway_modbus_listening",
                  "1 while the Modbus TCP server listens.",
                  false,
                  {},
                  h.enabled && h.ready ? 1.0 : 0.0},
                 {"qor_gateway_modbus_clients",
                  "Modbus TCP clients connected.",
                  false,
                  {},
                  static_cast<double>(clients)},
                 {"qor_gateway_modbus_requests_total",
                  "Modbus requests taken.",
                  true,
                  {},
                  static_cast<double>(requests_)},
                 {"qor_gateway_modbus_exceptions_total",
                  "Modbus requests answered with an exception.",
                  true,
                  {},
                  static_cast<double>(exceptions_)},
                 {"qor_gateway_modbus_refused_connections_total",
                  "Connections refused: not allowed, or too many.",
                  true,
                  {},
                  static_cast<double>(refused_)}};
    h.details = {{"listening", listening},
                 {"clients", clients},
                 {"requests", requests_.load()},
                 {"exceptions", exceptions_.load()},
                 {"refused_connections", refused_.load()}};
    return h;
}

}  // namespace qor::gateway
