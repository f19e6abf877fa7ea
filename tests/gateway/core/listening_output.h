// An output for tests that only listens: its lifecycle does nothing and its
// health is empty. A test names it and overrides the events it records.
#ifndef QOR_TESTS_GATEWAY_CORE_LISTENING_OUTPUT_H
#define QOR_TESTS_GATEWAY_CORE_LISTENING_OUTPUT_H

#include <functional>
#include <string>

#include "gateway/core/output.h"

namespace qor::gateway {

class ListeningOutput : public Output {
  public:
    bool Prepare(const Config &, const std::function<bool()> &, std::string *) override {
        return true;
    }
    void Commit() override {}
    void Rollback() override {}
    void Stop(Clock::time_point) override {}
    OutputHealth Health() const override { return {}; }
};

}  // namespace qor::gateway

#endif
