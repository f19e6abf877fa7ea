// What needs a person, for the top of the status page and /api/state: links
// down, modules offline, polls failing or stale, values beyond their
// module's alarm limits, lines whose polls fall behind, and outputs that
// cannot do their job (the broker away with its backlog, the Sparkplug node
// waiting for its primary host, the Modbus listener down). The larger
// trouble stands for the smaller: a link down for its modules, a module
// offline for its polls. Newest first.
#ifndef QOR_GATEWAY_HTTP_PROBLEMS_H
#define QOR_GATEWAY_HTTP_PROBLEMS_H

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gateway/core/load_plan.h"
#include "gateway/core/output.h"
#include "gateway/core/plant_state.h"

namespace qor::gateway {

struct Problem {
    // link_down, module_offline, poll_failing, stale, alarm, behind, or an
    // output's name: mqtt, sparkplug, modbus...
    std::string kind;
    std::chrono::system_clock::time_point since;
    std::string link;  // where, as far as it applies
    std::string module;
    std::string poll;
    std::string text;
    std::size_t count = 1;  // more than one: several of a kind on one link, told as one
};

// More of one kind on one link than this are told as one problem.
constexpr std::size_t kProblemsApart = 5;

// An output's health says what is wrong, not since when: the first time
// each problem was seen is kept here, and forgotten once it is gone.
class ProblemClock {
  public:
    void Observe(const std::vector<OutputHealth> &outputs,
                 std::chrono::system_clock::time_point now);
    std::chrono::system_clock::time_point Since(const std::string &output) const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::pair<std::string, std::chrono::system_clock::time_point>> seen_;
};

// plan: the links' planned loads, in the configuration's order (may be
// shorter than the links during a reload).
std::vector<Problem> FindProblems(const PlantSnapshot &s, const std::vector<OutputHealth> &outputs,
                                  const std::vector<LinkLoad> &plan, const ProblemClock &clock);

}  // namespace qor::gateway

#endif
