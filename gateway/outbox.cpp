#include "outbox.h"

namespace qor::gateway {

void Outbox::Push(Message message) {
    bool was_empty = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        was_empty = queue_.empty();
        queue_.push_back(std::move(message));
        TrimLocked();
    }
    // The reader takes everything it can each time it wakes, so only the
    // first message after it emptied the queue needs to wake it.
    if (was_empty && wake_) {
        wake_();
    }
}

void Outbox::Return(std::vector<Message> messages) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        queue_.push_front(std::move(*it));
    }
    TrimLocked();
}

std::optional<Message> Outbox::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) {
        return std::nullopt;
    }
    Message message = std::move(queue_.front());
    queue_.pop_front();
    return message;
}

void Outbox::SetCapacity(std::size_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    capacity_ = capacity;
    TrimLocked();
}

std::size_t Outbox::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

std::uint64_t Outbox::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void Outbox::TrimLocked() {
    while (queue_.size() > capacity_) {
        queue_.pop_front();
        ++dropped_;
    }
}

}  // namespace qor::gateway
