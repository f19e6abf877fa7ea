// The outputs the core feeds, in one list, and the plant state before them:
// what a poller tells goes to the plant state first, then to every output
// in turn (output.h).
#ifndef QOR_GATEWAY_CORE_OUTPUTS_H
#define QOR_GATEWAY_CORE_OUTPUTS_H

#include <cstdint>
#include <vector>

#include "gateway/core/output.h"
#include "gateway/core/plant_state.h"

namespace qor::gateway {

struct ModuleCounters;

class Outputs {
  public:
    explicit Outputs(PlantState &plant) : plant_(plant) {}
    Outputs(const Outputs &) = delete;
    Outputs &operator=(const Outputs &) = delete;

    // Before any poller runs; the list is fixed from then on (an output
    // whose section is off stays in it, idle).
    void Add(Output *output) { list_.push_back(output); }
    const std::vector<Output *> &List() const { return list_; }
    PlantState &Plant() { return plant_; }

    void TellReading(const PollRef &poll, const Reading &reading, bool published, double seconds);
    void TellAvailability(const ModuleRef &module, Availability availability);
    void TellCounters(const ModuleRef &module, const ModuleCounters &counters);
    // The command's own `done` is told last.
    void TellResult(const Command &command, const CommandResult &result);
    // The highest any output keeps for the poll.
    std::uint64_t LastSeq(const PollRef &poll) const;
    std::vector<OutputHealth> Health() const;

  private:
    PlantState &plant_;
    std::vector<Output *> list_;
};

}  // namespace qor::gateway

#endif
