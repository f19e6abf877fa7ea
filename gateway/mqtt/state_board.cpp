#include "gateway/mqtt/state_board.h"

namespace qor::gateway {

void StateBoard::Set(const std::string &topic, const std::string &payload) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Entry &entry = entries_[topic];
        if (entry.payload == payload && !entry.changed) {
            return;
        }
        entry.payload = payload;
        entry.changed = true;
    }
    if (wake_) {
        wake_();
    }
}

std::vector<std::pair<std::string, std::string>> StateBoard::TakeChanged() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::string, std::string>> changed;
    for (auto &[topic, entry] : entries_) {
        if (entry.changed) {
            changed.emplace_back(topic, entry.payload);
            entry.changed = false;
        }
    }
    return changed;
}

void StateBoard::MarkAllChanged() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &[topic, entry] : entries_) {
        entry.changed = true;
    }
}

}  // namespace qor::gateway
