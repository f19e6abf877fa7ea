#include "gateway/core/gateway.h"

#include "gateway/core/log.h"

namespace qor::gateway {

namespace {

// Two listeners collide when they name the same port on the same address,
// or when either is a wildcard ("0.0.0.0", or "::", which takes IPv4 too).
bool Collide(const Listener &a, const Listener &b) {
    if (a.port != b.port) {
        return false;
    }
    auto wildcard = [](const std::string &host) { return host == "0.0.0.0" || host == "::"; };
    return a.host == b.host || wildcard(a.host) || wildcard(b.host);
}

}  // namespace

Gateway::Gateway(const OutputFactory &make) : outputs_(plant_), intake_(outputs_) {
    owned_ = make(OutputServices{plant_, intake_, outputs_});
    for (const auto &output : owned_) {
        outputs_.Add(output.get());
    }
}

Gateway::~Gateway() {
    Stop();
}

std::string Gateway::Check(const Config &config) const {
    std::string reasons;
    std::vector<Listener> listeners;
    for (const auto &output : owned_) {
        std::string why = output->Check(config);
        if (!why.empty()) {
            reasons += (reasons.empty() ? "" : "\n") + why;
        }
        for (Listener &l : output->Listeners(config)) {
            for (const Listener &other : listeners) {
                if (Collide(l, other)) {
                    reasons +=
                        (reasons.empty() ? "" : "\n") +
                        AtLine(l.line, l.what + " and " + other.what + " (line " +
                                           std::to_string(other.line) + ") both listen on port " +
                                           std::to_string(l.port) + " (" + l.host + ", " +
                                           other.host + "); give each its own");
                }
            }
            listeners.push_back(std::move(l));
        }
    }
    return reasons;
}

bool Gateway::PrepareAll(const Config &next, const std::function<bool()> &give_up,
                         std::string *why) {
    *why = Check(next);
    if (!why->empty()) {
        return false;
    }
    for (std::size_t i = 0; i < owned_.size(); ++i) {
        std::string reason;
        if (!owned_[i]->Prepare(next, give_up, &reason)) {
            *why = reason;
            for (std::size_t j = i; j-- > 0;) {
                owned_[j]->Rollback();
            }
            return false;
        }
    }
    return true;
}

bool Gateway::Start(Config config, std::string *why) {
    if (!PrepareAll(config, nullptr, why)) {
        return false;
    }
    plant_.Layout(config);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        config_ = std::move(config);
    }
    for (const auto &output : owned_) {
        output->Commit();
    }
    StartPollers();
    started_ = true;
    return true;
}

bool Gateway::Reload(Config config, const std::function<bool()> &give_up, std::string *why) {
    if (!PrepareAll(config, give_up, why)) {
        return false;
    }
    intake_.Close("the gateway is reloading");
    StopPollers(std::chrono::steady_clock::time_point::max());
    plant_.Layout(config);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        config_ = std::move(config);
    }
    for (const auto &output : owned_) {
        output->Commit();
    }
    StartPollers();
    return true;
}

void Gateway::StartPollers() {
    PollerSettings settings{config_.offline_after, config_.counters_interval};
    std::vector<LinkPoller *> pollers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < config_.links.size(); ++i) {
            // Ports 1 to 64, one per link: the library keeps a lock per port.
            pollers_.push_back(std::make_unique<LinkPoller>(
                config_.links[i], i, static_cast<int>(i) + 1, settings, outputs_));
            pollers.push_back(pollers_.back().get());
        }
    }
    for (LinkPoller *poller : pollers) {
        poller->Start();
    }
    intake_.Open(&config_, std::move(pollers));
}

std::size_t Gateway::StopPollers(std::chrono::steady_clock::time_point until) {
    std::vector<std::unique_ptr<LinkPoller>> stopping;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping.swap(pollers_);
    }
    for (auto &poller : stopping) {
        poller->RequestStop();
    }
    std::size_t abandoned = 0;
    for (auto &poller : stopping) {
        if (!poller->WaitStopped(until)) {
            // Its thread still runs on it: it is never freed.
            (void)poller.release();
            ++abandoned;
        }
    }
    return abandoned;
}

std::size_t Gateway::Stop() {
    if (!started_) {
        return 0;
    }
    started_ = false;
    intake_.Close("the gateway is stopping");
    auto now = std::chrono::steady_clock::now();
    std::size_t abandoned = StopPollers(now + kLinkStopGrace);
    // The outputs share what is left of the bound: the broker takes what it
    // can of the queue within flush_timeout_s.
    auto until = std::chrono::steady_clock::now() + config_.flush_timeout;
    for (const auto &output : owned_) {
        output->Stop(until);
    }
    if (abandoned > 0) {
        // A link still running tells the outputs of readings: they are
        // never freed.
        for (auto &output : owned_) {
            (void)output.release();
        }
    }
    return abandoned;
}

bool Gateway::Running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_ && pollers_.size() == config_.links.size();
}

}  // namespace qor::gateway
