#include "gateway/modbus/modbus_server.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <vector>

#include "gateway/core/listener.h"
#include "gateway/core/log.h"
#include "gateway/modbus/modbus_registers.h"

namespace qor::gateway {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

static_assert(kIllegalFunction == MODBUS_EXCEPTION_ILLEGAL_FUNCTION &&
              kIllegalAddress == MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS &&
              kIllegalValue == MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE &&
              kDeviceFailure == MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE &&
              kBusy == MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY &&
              kNoPath == MODBUS_EXCEPTION_GATEWAY_PATH &&
              kNoAnswer == MODBUS_EXCEPTION_GATEWAY_TARGET);
// Not an exception: the answer could not be sent, and the connection ends.
constexpr int kUnsent = -1;
// The bytes of one request follow each other within a second.
constexpr int kByteTimeoutMs = 1000;
// How long a stop waits for the answers under way.
constexpr Clock::duration kAnswerGrace = 1s;

// The tables functions 1 to 4 read.
constexpr RegisterTable kReadTables[] = {RegisterTable::kCoil, RegisterTable::kDiscreteInput,
                                         RegisterTable::kHoldingRegister,
                                         RegisterTable::kInputRegister};

std::string Peer(const sockaddr_in &address) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// The gateway as device identification names it.
const DeviceIdentity kIdentity = {"qor", "qor-gateway", QOR_VERSION};

bool SendAll(int fd, const std::vector<std::uint8_t> &bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;  // gone, or not reading within the send time-out
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// How a connection's next request came: whole, or why the connection ends.
enum class Received { kRequest, kGone, kIdle, kStalled, kMalformed };

// Reads no more than the request's own bytes, so that the next request
// stays in the socket until it is its turn.
Received ReceiveFrame(int fd, int idle_ms, std::uint8_t (&buffer)[kMaxAduSize], Frame *frame) {
    std::size_t have = 0;
    for (;;) {
        *frame = ParseFrame(buffer, have);
        if (frame->status != FrameStatus::kIncomplete) {
            return frame->status == FrameStatus::kComplete ? Received::kRequest
                                                           : Received::kMalformed;
        }
        pollfd watch{fd, POLLIN, 0};
        int ready = poll(&watch, 1, have == 0 ? idle_ms : kByteTimeoutMs);
        if (ready == 0) {
            return have == 0 ? Received::kIdle : Received::kStalled;
        }
        ssize_t n = ready > 0 ? recv(fd, buffer + have, frame->size - have, 0) : -1;
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return Received::kGone;
        }
        have += static_cast<std::size_t>(n);
    }
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
    if (moved) {
        EndConnections(Clock::now() + kAnswerGrace);
    } else {
        CloseDisallowed(*setup);
    }
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

// Clients the new configuration no longer allows are disconnected at once.
void ModbusServer::CloseDisallowed(const Setup &kept_for) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Connection &c : connections_) {
        if (c.open && !kept_for.config.modbus.Allowed(c.address)) {
            shutdown(c.fd, SHUT_RDWR);
        }
    }
}

void ModbusServer::ShutDown(int how) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Connection &c : connections_) {
        if (c.open) {
            shutdown(c.fd, how);
        }
    }
}

bool ModbusServer::AllFinished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::all_of(connections_.begin(), connections_.end(),
                       [](const Connection &c) { return c.finished; });
}

// Every connection ends, and none unanswered: a write still waiting for
// its module answers 0x06 (busy) and an answer under way goes out. Only the
// reading side is shut at first, which wakes a connection waiting for its
// next request; by `until` (a second at most) the rest is shut whatever the
// clients do.
void ModbusServer::EndConnections(Clock::time_point until) {
    stopping_ = true;
    ShutDown(SHUT_RD);
    until = std::min(until, Clock::now() + kAnswerGrace);
    while (!AllFinished() && Clock::now() < until) {
        std::this_thread::sleep_for(10ms);
    }
    ShutDown(SHUT_RDWR);
    Reap(true);
    stopping_ = false;
}

void ModbusServer::Stop(Clock::time_point until) {
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
    EndConnections(until);
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
        if (!allowed || open >= static_cast<std::size_t>(setup->config.modbus.max_connections)) {
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
        modbus_set_socket(ctx, c->fd);
        Converse(setup->config.modbus, ctx, *c);
        modbus_set_socket(ctx, -1);
        modbus_free(ctx);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    close(c->fd);
    c->open = false;
    c->finished = true;
}

// Requests one after the other, each answered before the next is read,
// until the client leaves, idles, stalls within a request or sends one
// that is malformed.
void ModbusServer::Converse(const ModbusSpec &spec, modbus_t *ctx, const Connection &c) {
    auto spacing = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / spec.max_requests_per_s));
    Clock::time_point allowed_at = Clock::now();
    std::uint8_t buffer[kMaxAduSize];
    while (!stopping_) {
        Frame frame;
        Received got = ReceiveFrame(c.fd, spec.idle_timeout_s * 1000, buffer, &frame);
        if (got == Received::kMalformed) {
            LogRepeated(Level::kWarning, "malformed Modbus requests",
                        "modbus: " + c.peer + " sent " + frame.why + "; connection closed",
                        frame.why);
        }
        if (got != Received::kRequest) {
            break;
        }
        // Over the rate, requests wait their turn instead of loading the gateway.
        Clock::time_point now = Clock::now();
        allowed_at = std::max(allowed_at, now - 1s) + spacing;
        if (allowed_at > now) {
            std::this_thread::sleep_until(allowed_at);
        }
        // Each request is answered under the map in force when it came.
        std::shared_ptr<const Setup> current = Current();
        if (!current || !Answer(*current, ctx, frame, c.peer)) {
            break;
        }
    }
}

// Device identification speaks for the gateway itself: for each unit it
// serves, and for 0 and 255, which Modbus TCP masters use to address the
// server rather than a device behind it.
bool ModbusServer::Answer(const Setup &setup, modbus_t *ctx, const Frame &frame,
                          const std::string &peer) {
    ++requests_;
    bool gateway_unit = frame.unit == 0 || frame.unit == 255;
    int code = kOk;
    if (frame.kind == RequestKind::kIdentify && (gateway_unit || setup.map.HasUnit(frame.unit))) {
        code = Identify(ctx, frame);
    } else if (!setup.map.HasUnit(frame.unit)) {
        code = kNoPath;
    } else if (frame.kind == RequestKind::kWrite) {
        code = setup.config.modbus.writes ? Write(setup, ctx, frame, peer) : kIllegalAddress;
    } else if (frame.kind == RequestKind::kRead) {
        code = AnswerRead(setup, ctx, frame);
    } else {
        code = kIllegalFunction;
    }
    if (code == kOk) {
        return true;  // answered
    }
    if (code == kUnsent) {
        return false;
    }
    ++exceptions_;
    return modbus_reply_exception(ctx, frame.pdu - kMbapSize, static_cast<unsigned>(code)) >= 0;
}

int ModbusServer::AnswerRead(const Setup &setup, modbus_t *ctx, const Frame &frame) {
    int function = frame.pdu[0];
    int address = Field(frame.pdu, 1);
    int count = Field(frame.pdu, 3);
    bool bits = function <= MODBUS_FC_READ_DISCRETE_INPUTS;
    if (count < 1 || count > (bits ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS)) {
        return kIllegalValue;
    }
    modbus_mapping_t *scratch = modbus_mapping_new_start_address(address, count, address, count,
                                                                 address, count, address, count);
    if (scratch == nullptr) {
        return kDeviceFailure;
    }
    RegisterTable table = kReadTables[function - 1];
    unsigned short *words = table == RegisterTable::kHoldingRegister ? scratch->tab_registers
                                                                     : scratch->tab_input_registers;
    unsigned char *bit_table =
        table == RegisterTable::kCoil ? scratch->tab_bits : scratch->tab_input_bits;
    int code = Read(setup, frame.unit, function - 1, address, count, words, bit_table);
    if (code == kOk &&
        modbus_reply(ctx, frame.pdu - kMbapSize, static_cast<int>(frame.size), scratch) < 0) {
        code = kUnsent;
    }
    modbus_mapping_free(scratch);
    return code;
}

int ModbusServer::Identify(modbus_t *ctx, const Frame &frame) {
    int exception = 0;
    std::vector<std::uint8_t> pdu = IdentificationPdu(frame, kIdentity, &exception);
    if (exception != 0) {
        return exception;
    }
    return SendAll(modbus_get_socket(ctx), Adu(frame, pdu)) ? kOk : kUnsent;
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

int ModbusServer::Write(const Setup &setup, modbus_t *ctx, const Frame &frame,
                        const std::string &peer) {
    WriteRequest w = ParseWrite(frame.unit, frame.pdu);
    std::vector<PlannedWrite> writes;
    int code = w.code != kOk ? w.code : PlanWrite(setup.map, setup.config.modbus, w, &writes);
    for (std::size_t i = 0; code == kOk && i < writes.size(); ++i) {
        code = RunWrite(setup, *writes[i].entry, writes[i].value, peer);
    }
    if (code != kOk) {
        return code;
    }
    modbus_mapping_t *scratch =
        modbus_mapping_new_start_address(w.address, w.count, 0, 0, w.address, w.count, 0, 0);
    if (scratch == nullptr) {
        return kDeviceFailure;
    }
    int sent = modbus_reply(ctx, frame.pdu - kMbapSize, static_cast<int>(frame.size), scratch);
    modbus_mapping_free(scratch);
    return sent >= 0 ? kOk : kUnsent;
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

std::size_t ModbusServer::Clients() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t clients = 0;
    for (const Connection &c : connections_) {
        clients += c.open ? 1 : 0;
    }
    return clients;
}

OutputHealth ModbusServer::Health() const {
    OutputHealth h;
    h.name = Name();
    std::size_t clients = Clients();
    std::string listening;
    {
        std::lock_guard<std::mutex> lock(setup_mutex_);
        listening = listening_;
        h.enabled = setup_ != nullptr;
    }
    h.ready = !h.enabled || accepting_;
    h.state = !h.enabled ? "off" : h.ready ? "listening on " + listening : "not listening";
    h.problem = h.ready ? "" : "modbus listener down";
    auto figure = [](const char *name, const char *help, bool counter, double value) {
        return Figure{name, help, counter, {}, value};
    };
    h.figures = {
        figure("qor_gateway_modbus_listening", "1 while the Modbus TCP server listens.", false,
               h.enabled && h.ready ? 1.0 : 0.0),
        figure("qor_gateway_modbus_clients", "Modbus TCP clients connected.", false,
               static_cast<double>(clients)),
        figure("qor_gateway_modbus_requests_total", "Modbus requests taken.", true,
               static_cast<double>(requests_)),
        figure("qor_gateway_modbus_exceptions_total", "Modbus requests answered with an exception.",
               true, static_cast<double>(exceptions_)),
        figure("qor_gateway_modbus_refused_connections_total",
               "Connections refused: not allowed, or too many.", true,
               static_cast<double>(refused_))};
    h.details = {{"listening", listening},
                 {"clients", clients},
                 {"requests", requests_.load()},
                 {"exceptions", exceptions_.load()},
                 {"refused_connections", refused_.load()}};
    return h;
}

}  // namespace qor::gateway
