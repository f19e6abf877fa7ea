#include "gateway/core/reading_cache.h"

namespace qor::gateway {

namespace {

constexpr std::size_t kCommandKinds = static_cast<std::size_t>(CommandKind::kEc) + 1;

}  // namespace

ReadingCache::ReadingCache(const Config &config) {
    for (const LinkSpec &link : config.links) {
        std::vector<ModuleSnapshot> modules;
        for (const ModuleSpec &m : link.modules) {
            ModuleSnapshot s;
            s.polls.resize(m.polls.size());
            s.written.resize(kCommandKinds);
            modules.push_back(std::move(s));
        }
        links_.push_back(std::move(modules));
    }
}

void ReadingCache::StoreReading(std::size_t link, std::size_t module, std::size_t poll,
                                const Reading &reading) {
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    ModuleSnapshot &m = links_.at(link).at(module);
    m.last_status = reading.status;
    m.last_error = reading.error;
    if (reading.status == 0) {
        m.polls.at(poll) = {reading.value, now};
        m.last_good = now;
    }
}

void ReadingCache::StorePresence(std::size_t link, std::size_t module, Presence presence) {
    std::lock_guard<std::mutex> lock(mutex_);
    links_.at(link).at(module).presence = presence;
}

void ReadingCache::StoreWritten(std::size_t link, std::size_t module, CommandKind kind,
                                double value) {
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    links_.at(link).at(module).written.at(static_cast<std::size_t>(kind)) = {value, now};
}

ModuleSnapshot ReadingCache::Module(std::size_t link, std::size_t module) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return links_.at(link).at(module);
}

}  // namespace qor::gateway
