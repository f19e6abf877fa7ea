// Messages waiting for the broker: readings and command results, in order,
// at most a configured number. When it is full the oldest is dropped and
// counted, so that a long broker outage keeps the newest readings.
#ifndef QOR_GATEWAY_OUTBOX_H
#define QOR_GATEWAY_OUTBOX_H

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qor::gateway {

struct Message {
    std::string topic;
    std::string payload;
    std::string correlation;  // MQTT 5 correlation data to echo, if any
};

class Outbox {
  public:
    explicit Outbox(std::size_t capacity) : capacity_(capacity) {}

    void Push(Message message);
    // Puts messages back at the front, oldest first (they were taken and not
    // delivered); the bound still holds.
    void Return(std::vector<Message> messages);
    std::optional<Message> Take();
    void SetCapacity(std::size_t capacity);
    // Called outside the lock when a Push finds the queue empty: the reader
    // must take messages until Take() gives none (or it cannot send) before
    // it waits again. Set before any thread pushes.
    void SetWake(std::function<void()> wake) { wake_ = std::move(wake); }

    std::size_t Size() const;
    std::uint64_t Dropped() const;

  private:
    void TrimLocked();

    mutable std::mutex mutex_;
    std::deque<Message> queue_;
    std::size_t capacity_;
    std::uint64_t dropped_ = 0;
    std::function<void()> wake_;
};

}  // namespace qor::gateway

#endif
