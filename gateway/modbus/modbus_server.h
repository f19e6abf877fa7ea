// The Modbus TCP server (libmodbus) as an output: one thread accepts, one
// thread per connection answers, at most max_connections of them. Reads
// are answered from the plant state and never touch a link; writes go
// through the command intake like every other command, and are answered
// when the module has. modbus_map.h describes the registers.
//
// A reload prepares the new map and, where the address changed, a new
// listening socket; commit swaps them in. A listener whose address did not
// change is kept, and its connections go on under the new map.
#ifndef QOR_GATEWAY_MODBUS_MODBUS_SERVER_H
#define QOR_GATEWAY_MODBUS_MODBUS_SERVER_H

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/core/output.h"
#include "gateway/core/services.h"
#include "gateway/modbus/modbus_frame.h"
#include "gateway/modbus/modbus_map.h"

typedef struct _modbus modbus_t;  // NOLINT(readability-identifier-naming): libmodbus's own name

namespace qor::gateway {

class ModbusServer : public Output {
  public:
    explicit ModbusServer(const OutputServices &services);
    ~ModbusServer() override;
    ModbusServer(const ModbusServer &) = delete;
    ModbusServer &operator=(const ModbusServer &) = delete;

    const char *Name() const override { return "modbus"; }
    std::vector<Listener> Listeners(const Config &config) const override;
    bool Prepare(const Config &next, const std::function<bool()> &give_up,
                 std::string *why) override;
    void Commit() override;
    void Rollback() override;
    // Closes every connection; a write still waiting for its module is
    // answered 0x06 (busy) by `until`.
    void Stop(Clock::time_point until) override;
    OutputHealth Health() const override;

  private:
    // What a request is answered from: the configuration and its map.
    struct Setup {
        Config config;
        ModbusMap map;
    };
    struct Connection {
        int fd = -1;
        bool open = true;
        bool finished = false;
        std::string peer;
        std::uint32_t address = 0;  // the peer's IPv4 address, host order
        std::thread thread;
    };

    std::shared_ptr<const Setup> Current() const;
    std::size_t Clients() const;  // connections open
    void StartAccepting();
    void StopAccepting();
    void CloseDisallowed(const Setup &kept_for);
    void ShutDown(int how);
    bool AllFinished() const;
    void EndConnections(Clock::time_point until);
    void Accept();
    void Admit(int fd, const std::string &peer, std::uint32_t address);
    void Reap(bool all);
    void Serve(Connection *connection);
    void Converse(const ModbusSpec &spec, modbus_t *ctx, const Connection &connection);
    // False when the connection ends.
    bool Answer(const Setup &setup, modbus_t *ctx, const Frame &frame, const std::string &peer);
    // kOk once answered, else the exception to answer.
    int AnswerRead(const Setup &setup, modbus_t *ctx, const Frame &frame);
    static int Identify(modbus_t *ctx, const Frame &frame);
    int Read(const Setup &setup, int unit, int table, int address, int count, unsigned short *words,
             unsigned char *bits) const;
    int Write(const Setup &setup, modbus_t *ctx, const Frame &frame, const std::string &peer);
    int RunWrite(const Setup &setup, const MapEntry &entry, double value, const std::string &peer);

    PlantState &plant_;
    CommandIntake &intake_;

    mutable std::mutex setup_mutex_;
    std::shared_ptr<const Setup> setup_;  // null: off
    std::string listening_;               // HOST:PORT of listen_fd_
    // Readied by Prepare.
    std::shared_ptr<const Setup> next_setup_;
    int next_fd_ = -1;
    std::string next_listening_;

    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> accepting_{false};  // the accept thread's own stop
    std::atomic<bool> stopping_{false};   // connections end, writes stop waiting
    std::thread accept_thread_;
    mutable std::mutex mutex_;  // connections_, and each one's fd and open flag
    std::list<Connection> connections_;
    std::atomic<std::uint64_t> requests_{0};
    std::atomic<std::uint64_t> exceptions_{0};
    std::atomic<std::uint64_t> refused_{0};  // connections refused
};

}  // namespace qor::gateway

#endif
