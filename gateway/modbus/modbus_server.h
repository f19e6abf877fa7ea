// The Modbus TCP server (libmodbus): one thread accepts, one thread per
// connection answers, at most max_connections of them. Reads are answered
// from the reading cache and never touch a link; writes are handed to the
// module's link poller like MQTT commands, and answered when the module
// has. modbus_map.h describes the registers.
#ifndef QOR_GATEWAY_MODBUS_SERVER_H
#define QOR_GATEWAY_MODBUS_SERVER_H

#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/core/config.h"
#include "gateway/core/poller.h"
#include "gateway/core/reading_cache.h"
#include "gateway/modbus/modbus_map.h"

typedef struct _modbus modbus_t;  // NOLINT(readability-identifier-naming): libmodbus's own name

namespace qor::gateway {

// Hands a command to the poller of a link (by its place in the file);
// false when the link takes no more.
using SubmitCommand = std::function<bool(std::size_t link, PendingCommand command)>;

class ModbusServer {
  public:
    ModbusServer(Config config, ModbusMap map, ReadingCache &cache, SubmitCommand submit);
    ~ModbusServer();
    ModbusServer(const ModbusServer &) = delete;
    ModbusServer &operator=(const ModbusServer &) = delete;

    // Listens and starts accepting; false with the reason when it cannot listen.
    bool Start(std::string *error);
    // Closes every connection, waiting for writes under way to be answered.
    void Stop();

  private:
    struct Connection {
        int fd = -1;
        bool open = true;
        bool finished = false;
        std::string peer;
        std::thread thread;
    };

    void Accept();
    void Admit(int fd, const std::string &peer, bool allowed);
    void Reap(bool all);
    void Serve(Connection *connection);
    bool Answer(modbus_t *ctx, const unsigned char *request, int length, const std::string &peer);
    int Read(int unit, RegisterTable table, int address, int count, unsigned short *words,
             unsigned char *bits) const;
    int Write(modbus_t *ctx, const unsigned char *request, const std::string &peer);
    int RunWrite(const MapEntry &entry, double value, const std::string &peer);

    Config config_;
    ModbusMap map_;
    ReadingCache &cache_;
    SubmitCommand submit_;
    modbus_t *listener_ = nullptr;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread accept_thread_;
    std::mutex mutex_;  // connections_, and each one's fd and open flag
    std::list<Connection> connections_;
};

}  // namespace qor::gateway

#endif
